// The title screen, the reading of keyboard lines and the exit prompt.
// Every screen starts with show_title(), every answer is read with
// read_answer(), and every run ends through end_with_prompt().
#pragma once

// Each keyboard line is read into this buffer: its first 29 characters and
// the terminating zero; the rest of a longer line is dropped.
extern char answer_buffer[30];

// Clears the screen and writes the title block.
void show_title();

// Reads one line into answer_buffer; null at the end of the input or on a
// read error before the line's first character.
const char* read_answer();

// Writes the exit prompt, waits for one line (or the end of the input) and
// ends the process with status.
[[noreturn]] void end_with_prompt(int status);
