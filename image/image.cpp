#include "image/image.h"

#include "dialogue/console.h"
#include "dialogue/questions.h"
#include "image/progress.h"
#include "platform/platform.h"

#include <cstring>

namespace {

// The image is written in blocks of one megabyte, all from the same block.
const unsigned block_size = 1048576;

// An image that may be incomplete is not left behind: the reason, then the
// block freed and the image closed and deleted.  Where the deletion fails,
// on a drive that went bad or away, the user learns that it is still there.
void discard(const char* path, char* block) {
    end_progress();
    platform::report_failure("Kann Image-Datei nicht schreiben");
    platform::release(block);
    if (!platform::discard_image(path))
        platform::report_image_left(path);
}

[[noreturn]] void fail_writing(const char* path, char* block) {
    discard(path, block);
    // At the exit prompt Ctrl+C ends the program as usual.
    platform::release_interrupts();
    end_with_prompt(-1);
}

// The user asked to stop: the run ends as an interrupted program ends,
// with no exit prompt to wait at.
[[noreturn]] void stop_writing(const char* path, char* block) {
    discard(path, block);
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
    // whose deletion failed) is cut to nothing by the open.
    static_cast<void>(platform::delete_file(path));
    if (platform::open_image(path) != 0) {
        platform::report_failure("Kann Image-Datei nicht anlegen");
        platform::release(block);
        end_with_prompt(-1);
    }
    // Whatever mode an old file that could not be deleted had.
    static_cast<void>(platform::make_writable(path));

    platform::print("\n\rLege %s an... ", path);
    platform::flush_output();

    // From here until the image is on the drive, an interrupt stops the
    // writing after the block at hand, and the partial image is deleted.
    platform::catch_interrupts();
    begin_progress(size);
    if (platform::reserve_image(static_cast<long long>(size) * block_size) != 0)
        fail_writing(path, block);
    for (long long megabytes = 0; megabytes < size;) {
        if (platform::interrupted())
            stop_writing(path, block);
        if (platform::write_image_block(block, block_size) != 0)
            fail_writing(path, block);
        show_progress(++megabytes);
    }
    // "Fertig!" means the image is on the drive: a stick pulled out right
    // after it must still hold every block.
    show_finishing();
    if (platform::flush_image() != 0)
        fail_writing(path, block);
    if (platform::interrupted())
        stop_writing(path, block);
    platform::release_interrupts();

    // A failed close may have lost the last blocks.
    if (platform::close_image() != 0)
        fail_writing(path, block);
    end_progress();
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
