// How an answer line is read: a letter is its first character that is not
// white space; a number is a signed decimal after optional white space.
// Whatever follows is ignored.
#pragma once

// Upper case of the first character that is not white space; false for a
// line that is empty or holds only white space.
bool scan_letter(const char* line, char* letter);

enum class number_answer {
    blank,        // empty or only white space
    not_a_number, // its first character that is not white space begins no number
    out_of_range, // a number beyond what an int holds
    number,
};

number_answer scan_number(const char* line, int* number);
