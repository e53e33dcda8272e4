// The title screen, the reading of keyboard lines and the exit prompt.
// Every screen starts with show_title(), every answer is read with
// read_answer(), and every run ends through end_with_prompt().
#pragma once

// Clears the screen and writes the title block.
void show_title();

// Reads one line and gives its first 29 characters, in a buffer that the
// next read reuses; the rest of a longer line is dropped.  Null at the end
// of the input before the line's first character, and on a read error.
const char* read_answer();

// Writes the exit prompt, waits for one line (or the end of the input) and
// ends the process with status.
[[noreturn]] void end_with_prompt(int status);
