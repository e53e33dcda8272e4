#include "image/image.h"

#include "dialogue/console.h"
#include "dialogue/questions.h"
#include "platform/platform.h"

#include <cstring>

namespace {

// Deletes the file at path and looks whether it is gone.  A deletion can
// report success and still leave the file: Windows removes a file only
// once the last handle on it is closed, and the file system may then
// refuse.
bool delete_for_sure(const char* path) {
    if (platform::delete_file(path) != 0)
        return false;
    long long size = 0;
    return platform::look_at_path(path, &size) == platform::look::nothing_there;
}

// The image is written in blocks of one megabyte, all from the same block.
const unsigned block_size = 1048576;

// Writes the whole block, going on after a write that took only part of
// it.  False when a write fails or writes nothing; errno tells why.
bool write_block(int descriptor, const char* block) {
    unsigned done = 0;
    while (done < block_size) {
        long written = platform::write_file(descriptor, block + done, block_size - done);
        if (written <= 0)
            return false;
        done += static_cast<unsigned>(written);
    }
    return true;
}

// An image that may be incomplete is not left behind: the reason, then the
// block freed, the file closed (unless closing it is what failed) and the
// image deleted.  Where that fails, on a drive that went bad or away, the
// user learns that it is still there.
void discard_image(const char* path, char* block, int descriptor) {
    platform::report_failure("Kann Image-Datei nicht schreiben");
    platform::release(block);
    if (descriptor >= 0)
        static_cast<void>(platform::close_file(descriptor));
    if (!delete_for_sure(path))
        platform::report_image_left(path);
}

[[noreturn]] void fail_writing(const char* path, char* block, int descriptor) {
    discard_image(path, block, descriptor);
    // At the exit prompt Ctrl+C ends the program as usual.
    platform::release_interrupts();
    end_with_prompt(-1);
}

// The user asked to stop: the run ends as an interrupted program ends,
// with no exit prompt to wait at.
[[noreturn]] void stop_writing(const char* path, char* block, int descriptor) {
    discard_image(path, block, descriptor);
    platform::end_interrupted();
}

[[noreturn]] void write_image(const char* path, int size) {
    char* block = static_cast<char*>(platform::allocate(block_size));
    if (block == nullptr) {
        // Taken before perror, which may change it.
        int error = platform::error_number();
        platform::report_failure("Kann nicht genug Hauptspeicher belegen");
        end_with_prompt(error);
    }
    std::memset(block, 0, block_size);

    // A file that is still there (one the user agreed to replace, or one
    // whose deletion failed) is truncated by the open.
    static_cast<void>(platform::delete_file(path));
    int descriptor = platform::create_file(path);
    if (descriptor < 0) {
        platform::report_failure("Kann Image-Datei nicht anlegen");
        platform::release(block);
        end_with_prompt(-1);
    }
    static_cast<void>(platform::make_writable(path));

    platform::print("\n\rLege %s an... ", path);
    platform::flush_output();

    // From here until the image is on the drive, an interrupt stops the
    // writing after the block at hand, and the partial image is deleted.
    platform::catch_interrupts();
    long long image_bytes = static_cast<long long>(size) * block_size;
    if (platform::reserve_space(descriptor, image_bytes) != 0)
        fail_writing(path, block, descriptor);
    for (long long written = 0; written < image_bytes;) {
        if (platform::interrupted())
            stop_writing(path, block, descriptor);
        if (!write_block(descriptor, block))
            fail_writing(path, block, descriptor);
        written += block_size;
        if (platform::write_back(descriptor, written) != 0)
            fail_writing(path, block, descriptor);
    }
    // "Fertig!" means the image is on the drive: a stick pulled out right
    // after it must still hold every block.
    if (platform::flush_file(descriptor) != 0)
        fail_writing(path, block, descriptor);
    if (platform::interrupted())
        stop_writing(path, block, descriptor);
    platform::release_interrupts();

    // A failed close may have lost the last blocks.
    if (platform::close_file(descriptor) != 0)
        fail_writing(path, block, -1);
    platform::release(block);

    platform::print("Fertig!\n\r"
                    "\n\r"
                    "Sie koennen nun Ihr persistentes TOLVERA Heimverzeichnis von TOLVERA\n\r"
                    "aus einrichten.\n\r");
    end_with_prompt(0);
}

} // namespace

void make_image() {
    platform::prepare_process();

    char image_path[] = "C:\\TOLVERA.IMG";
    char letter = ask_drive_letter();
    image_path[0] = letter;
    check_existing_image(image_path);
    int size = ask_image_size(letter);

    show_title();
    write_image(image_path, size);
}
