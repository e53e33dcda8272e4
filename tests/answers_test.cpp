// How answer lines become letters and numbers, at the edges that the
// end-to-end cases cannot tell apart.
#include "dialogue/answers.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct number_case {
    const char* line;
    number_answer kind;
    int value;
};

class scan_number_test : public ::testing::TestWithParam<number_case> {};

TEST_P(scan_number_test, reads_the_line) {
    const number_case& c = GetParam();
    int value = -12345;
    EXPECT_EQ(scan_number(c.line, &value), c.kind) << '"' << c.line << '"';
    if (c.kind == number_answer::number)
        EXPECT_EQ(value, c.value) << '"' << c.line << '"';
    else
        EXPECT_EQ(value, -12345) << "a line that is no number leaves the number alone";
}

INSTANTIATE_TEST_SUITE_P(
    lines, scan_number_test,
    ::testing::Values(number_case{"100\n", number_answer::number, 100},
                      number_case{"+200\n", number_answer::number, 200},
                      number_case{"150MB\n", number_answer::number, 150},
                      number_case{" \t\v\f\r-5\n", number_answer::number, -5},
                      number_case{"007", number_answer::number, 7},
                      number_case{"2147483647\n", number_answer::number, INT_MAX},
                      number_case{"-2147483648\n", number_answer::number, INT_MIN},
                      number_case{"000000000000000000002147483647", number_answer::number, INT_MAX},
                      number_case{"2147483648\n", number_answer::out_of_range, 0},
                      number_case{"-2147483649\n", number_answer::out_of_range, 0},
                      number_case{"99999999999999999999999999999", number_answer::out_of_range, 0},
                      number_case{"", number_answer::blank, 0},
                      number_case{"\n", number_answer::blank, 0},
                      number_case{"   \t \n", number_answer::blank, 0},
                      number_case{"abc\n", number_answer::not_a_number, 0},
                      number_case{"+\n", number_answer::not_a_number, 0},
                      number_case{"-\n", number_answer::not_a_number, 0},
                      number_case{"- 5\n", number_answer::not_a_number, 0},
                      number_case{"+-5\n", number_answer::not_a_number, 0},
                      number_case{"\xb2"
                                  "00\n",
                                  number_answer::not_a_number, 0}));

TEST(scan_letter, takes_the_first_character_that_is_not_white_space) {
    char letter = '?';
    EXPECT_TRUE(scan_letter(" \t d:\n", &letter));
    EXPECT_EQ(letter, 'D');
    EXPECT_TRUE(scan_letter("Laufwerk D\n", &letter));
    EXPECT_EQ(letter, 'L');
    EXPECT_TRUE(scan_letter("1\n", &letter));
    EXPECT_EQ(letter, '1');
}

TEST(scan_letter, finds_none_in_a_blank_line) {
    char letter = '?';
    EXPECT_FALSE(scan_letter("", &letter));
    EXPECT_FALSE(scan_letter(" \t\r\n", &letter));
    EXPECT_EQ(letter, '?');
}

TEST(scan_letter, leaves_bytes_beyond_ascii_as_they_are) {
    char letter = '?';
    EXPECT_TRUE(scan_letter("\xe4\n", &letter));
    EXPECT_EQ(letter, '\xe4');
}

} // namespace
