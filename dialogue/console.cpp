#include "dialogue/console.h"

#include "platform/platform.h"

char answer_buffer[30];

void show_title() {
    // Cursor home, erase to the end of the screen.
    platform::print("\33[H\33[J"
                    "TOLVERA IMAGE-DATEI EINRICHTEN\n\r"
                    "==============================\n\r"
                    "\n\r");
    platform::flush_output();
}

const char* read_answer() {
    return platform::read_line(answer_buffer, static_cast<int>(sizeof answer_buffer));
}

void end_with_prompt(int status) {
    platform::print("\n\rEingabetaste zum Beenden.");
    platform::flush_output();
    // Enter and the end of the input both end the run.
    static_cast<void>(read_answer());
    platform::exit_process(status);
}
