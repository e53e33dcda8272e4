#include "image/image.h"

#include "dialogue/console.h"
#include "dialogue/questions.h"
#include "image/progress.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstring>

namespace {

// The image is written in blocks of one megabyte, all from the same block,
// which is held from its allocation until the writing is over, however it
// ends.
const unsigned block_bytes = platform::bytes_per_megabyte;
char* zero_block = nullptr;

void release_block() {
    if (zero_block != nullptr)
        platform::release(zero_block);
    zero_block = nullptr;
}

// A file appears at the path after it was looked at, is asked about, and
// is gone again before it can be created: that many times, and the
// creation fails with EEXIST.  A link that the platform follows for the
// look but not for the creation does that for ever.
const int creation_attempts = 3;

// What the user's 'j' covers: the one file that the question showed.
// Once that file is deleted, the agreement is used up; where its
// deletion failed, the creation may still take that same file, and no
// other, in its place.
struct agreement {
    bool open;
    platform::file_identity file;
};

// The user agreed: the file that was shown goes at once, before the size
// question, as the question says.  A file that has taken its place
// meanwhile stays, and is asked about when the creation meets it.
agreement remove_old_image(const char* path, const platform::file_identity& shown) {
    bool deleted = platform::delete_agreed_file(path, shown) == 0;
    return agreement{!deleted, shown};
}

// Asks about what is at the path, where something is, and carries out
// the answer: the run ends where the user keeps it, and the file shown
// goes where the user agreed.  Whether the question was put.
bool settle_old_image(const char* path, agreement* agreed) {
    platform::file_identity shown{};
    switch (check_existing_image(path, &shown)) {
    case old_image::nothing_there:
        return false;
    case old_image::keep:
        end_with_prompt(0);
    case old_image::replace_agreed:
        break;
    }
    *agreed = remove_old_image(path, shown);
    return true;
}

// Creates the image file.  The creation itself refuses whatever is at the
// path by then (a drive plugged in since the look, a file made
// meanwhile) but the file the user agreed to replace, and that is asked
// about now, on a screen of its own.
void create_image(const char* path, agreement agreed) {
    for (int attempt = 1;; attempt++) {
        if (platform::open_image(path, agreed.open ? &agreed.file : nullptr) == 0)
            return;
        int error = platform::error_number();
        if (error != EEXIST || attempt == creation_attempts) {
            platform::report_failure("Kann Image-Datei nicht anlegen", error);
            end_with_prompt(-1);
        }
        // The work goes on under a cleared screen.
        if (settle_old_image(path, &agreed))
            show_title();
    }
}

// An image that may be incomplete is not left behind: the reason, taken
// at the failure, then the image closed and deleted.  Where the deletion
// fails, on a drive that went bad or away, the user learns that it is
// still there.
void discard(const char* path, const char* text, int error) {
    end_progress();
    platform::report_failure(text, error);
    if (!platform::discard_image(path))
        platform::report_image_left(path);
}

// The writing stopped, for the reason that errno holds now.
void discard_writing(const char* path) {
    int error = platform::error_number();
    release_block();
    discard(path, "Kann Image-Datei nicht schreiben", error);
}

[[noreturn]] void fail_writing(const char* path) {
    discard_writing(path);
    // At the exit prompt Ctrl+C ends the program as usual.
    platform::release_interrupts();
    end_with_prompt(-1);
}

// The user asked to stop: the run ends as an interrupted program ends,
// with no exit prompt to wait at.
[[noreturn]] void stop_writing(const char* path) {
    discard_writing(path);
    platform::end_interrupted();
}

[[noreturn]] void write_image(const char* path, int megabytes) {
    const long long bytes = static_cast<long long>(megabytes) * block_bytes;
    // The image is still empty: what the drive does with it shows now, at
    // no cost.  An encrypted image is of no use to TOLVERA, so none is
    // written, and the empty file goes again.
    if (platform::prepare_image_storage() == platform::storage::encrypted) {
        platform::report_image_encrypted(path);
        if (!platform::discard_image(path))
            platform::report_image_left(path);
        end_with_prompt(-1);
    }
    zero_block = static_cast<char*>(platform::allocate(block_bytes));
    if (zero_block == nullptr) {
        int error = platform::error_number();
        discard(path, "Kann nicht genug Hauptspeicher belegen", error);
        end_with_prompt(error);
    }
    std::memset(zero_block, 0, block_bytes);

    platform::print("\n\rLege %s an... ", path);
    platform::flush_output();

    // From here until the image is on the drive, an interrupt stops the
    // writing after the block at hand, and the partial image is deleted.
    platform::catch_interrupts();
    begin_progress(megabytes);
    if (platform::reserve_image(bytes) != 0)
        fail_writing(path);
    for (long long written = 0; written < megabytes;) {
        if (platform::interrupted())
            stop_writing(path);
        if (platform::write_image_block(zero_block, block_bytes) != 0)
            fail_writing(path);
        show_progress(++written);
    }
    // "Fertig!" means the image is on the drive: a stick pulled out right
    // after it must still hold every block.
    show_finishing();
    if (platform::flush_image() != 0)
        fail_writing(path);
    if (platform::interrupted())
        stop_writing(path);
    const long long held = platform::image_room(path);
    // The user's title first, and the block freed: an interrupt from here
    // on ends the program at once.
    end_progress();
    release_block();
    platform::release_interrupts();

    // A failed close may have lost the last blocks.
    if (platform::close_image() != 0)
        fail_writing(path);

    // A drive that holds all blocks holds at least the size, in whole
    // clusters; one that lacks a whole block's room compresses the image,
    // and its room is not held.  The image is complete and stays: the user
    // decides.  Where the drive does not say, nothing is told.
    if (held >= 0 && held <= bytes - block_bytes) {
        platform::report_room_not_held(path, held, bytes);
        end_with_prompt(-1);
    }
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
    agreement agreed{false, {}};
    static_cast<void>(settle_old_image(image_path, &agreed));
    int megabytes = ask_image_size(letter);

    show_title();
    create_image(image_path, agreed);
    write_image(image_path, megabytes);
}
