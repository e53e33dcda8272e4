#include "dialogue/answers.h"

#include <cctype>
#include <climits>

namespace {

const char* skip_white_space(const char* p) {
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p)))
        p++;
    return p;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

} // namespace

bool scan_letter(const char* line, char* letter) {
    const char* p = skip_white_space(line);
    if (*p == '\0')
        return false;
    *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return true;
}

// Accumulated as a negative number, so that INT_MIN fits as well.
number_answer scan_number(const char* line, int* number) {
    const char* p = skip_white_space(line);
    if (*p == '\0')
        return number_answer::blank;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (!is_digit(*p))
        return number_answer::not_a_number;

    long long value = 0;
    bool in_range = true;
    for (; is_digit(*p); p++) {
        if (in_range)
            value = value * 10 - (*p - '0');
        if (value < INT_MIN)
            in_range = false;
    }
    if (!in_range || (!negative && value < -INT_MAX))
        return number_answer::out_of_range;
    *number = static_cast<int>(negative ? value : -value);
    return number_answer::number;
}
