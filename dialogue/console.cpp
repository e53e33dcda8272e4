#include "dialogue/console.h"

#include "platform/platform.h"

namespace {

// Every keyboard line is read into this one buffer: its first 29
// characters and the terminating zero.
char answer_buffer[30];

} // namespace

void show_title() {
    platform::clear_screen();
    platform::print("TOLVERA IMAGE-DATEI EINRICHTEN\n\r"
                    "==============================\n\r"
                    "\n\r");
    platform::flush_output();
}

namespace {

// Reads a line, or as much of it as fits into buffer, and tells whether
// the line goes on beyond it.  The line may hold zero bytes, so where it
// ends shows from where fgets put the terminating zero: in the last byte,
// set beforehand, only when it filled the buffer.
const char* read_piece(char* buffer, int size, bool* goes_on) {
    buffer[size - 1] = '\1';
    const char* piece = platform::read_line(buffer, size);
    *goes_on = piece != nullptr && buffer[size - 1] == '\0' && buffer[size - 2] != '\n';
    return piece;
}

} // namespace

// The first 29 characters of a line are its answer; the rest of a longer
// line is read and dropped, so that it cannot answer the next question.
const char* read_answer() {
    bool goes_on = false;
    const char* line = read_piece(answer_buffer, static_cast<int>(sizeof answer_buffer), &goes_on);
    char rest[64];
    while (goes_on)
        static_cast<void>(read_piece(rest, static_cast<int>(sizeof rest), &goes_on));
    return line;
}

void end_with_prompt(int status) {
    platform::print("\n\rEingabetaste zum Beenden.");
    platform::flush_output();
    // Enter and the end of the input both end the run.
    static_cast<void>(read_answer());
    platform::exit_process(status);
}
