// The progress in the window's title, on a clock the test sets: the
// words and numbers of each title, the time left, and how often the title
// changes.  progress.cpp is built into this test with its own stand-ins
// for the three platform calls it makes.
#include "image/progress.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

namespace {

long long clock_now;             // milliseconds
std::vector<std::string> titles; // every title shown, in order
int restored;                    // how often the user's title was given back

} // namespace

namespace platform {

long long milliseconds() { return clock_now; }
void show_window_title(const char* text) { titles.emplace_back(text); }
void restore_window_title() { ++restored; }

} // namespace platform

namespace {

const long long second = 1000;
const long long day = 86400 * second;
// The clock counts from the machine's start, which was a while ago.
const long long start = 7 * day;

// An image of total megabytes begins at the clock's start, with nothing
// recorded before.
void begin(int total) {
    titles.clear();
    restored = 0;
    clock_now = start;
    begin_progress(total);
}

// Shows megabytes written at so many milliseconds after the beginning.
void show_at(long long elapsed, long long megabytes) {
    clock_now = start + elapsed;
    show_progress(megabytes);
}

using title_list = std::vector<std::string>;

struct title_case {
    int total;
    long long megabytes;
    long long elapsed; // milliseconds
    const char* title;
};

void PrintTo(const title_case& c, std::ostream* out) {
    *out << c.megabytes << " of " << c.total << " MB after " << c.elapsed << " ms";
}

class progress_title_test : public ::testing::TestWithParam<title_case> {};

TEST_P(progress_title_test, tells_how_far_the_writing_is) {
    const title_case& c = GetParam();
    begin(c.total);
    show_at(c.elapsed, c.megabytes);
    ASSERT_EQ(titles.size(), 2u);
    EXPECT_EQ(titles[1], c.title);
}

INSTANTIATE_TEST_SUITE_P(
    titles, progress_title_test,
    ::testing::Values(
        title_case{4000, 1480, 160 * second,
                   "TOLVERA.IMG: 37 % (1480 von 4000 MB), noch etwa 5 Min."},
        // The percentage rounded down; no time left in the first 3 seconds.
        title_case{200, 1, 1 * second, "TOLVERA.IMG: 0 % (1 von 200 MB)"},
        title_case{4000, 3999, 2999, "TOLVERA.IMG: 99 % (3999 von 4000 MB)"},
        title_case{4000, 2000, 3 * second,
                   "TOLVERA.IMG: 50 % (2000 von 4000 MB), noch etwa 5 Sek."},
        // Seconds rounded up to 5, at least 5; minutes rounded up.  Where
        // half of the image is written, the time left is the time taken.
        title_case{1000, 900, 3 * second, "TOLVERA.IMG: 90 % (900 von 1000 MB), noch etwa 5 Sek."},
        title_case{200, 100, 6 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 10 Sek."},
        title_case{200, 100, 40 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 40 Sek."},
        title_case{200, 100, 41 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 45 Sek."},
        title_case{200, 100, 59 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 60 Sek."},
        title_case{200, 100, 60 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 1 Min."},
        title_case{200, 100, 61 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 2 Min."},
        title_case{200, 100, 120 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 2 Min."},
        title_case{200, 100, 121 * second, "TOLVERA.IMG: 50 % (100 von 200 MB), noch etwa 3 Min."},
        // The last block.
        title_case{4000, 4000, 100 * second,
                   "TOLVERA.IMG: 100 % (4000 von 4000 MB), noch etwa 5 Sek."},
        // The largest image, where the megabytes still to write times the
        // milliseconds taken is beyond 64 bits: at the start, half-way and
        // at the end of a run of months or years.
        title_case{INT_MAX, 1, 100 * day,
                   "TOLVERA.IMG: 0 % (1 von 2147483647 MB), noch etwa 309237645024000 Min."},
        title_case{INT_MAX, 3, 100 * day,
                   "TOLVERA.IMG: 0 % (3 von 2147483647 MB), noch etwa 103079214912000 Min."},
        title_case{INT_MAX, 1073741823, 100 * day,
                   "TOLVERA.IMG: 49 % (1073741823 von 2147483647 MB), noch etwa 144000 Min."},
        title_case{INT_MAX, INT_MAX - 1, 3650 * day,
                   "TOLVERA.IMG: 99 % (2147483646 von 2147483647 MB), noch etwa 5 Sek."},
        // A clock at its end: a time left beyond any number of seconds
        // shows the largest.
        title_case{INT_MAX, 1, LLONG_MAX - start,
                   "TOLVERA.IMG: 0 % (1 von 2147483647 MB), noch etwa 153722867280912931 Min."}));

TEST(progress, begins_with_nothing_written) {
    begin(4000);
    EXPECT_EQ(titles, title_list{"TOLVERA.IMG: 0 % (0 von 4000 MB)"});
    EXPECT_EQ(restored, 0);
}

TEST(progress, shows_at_most_one_title_a_second) {
    begin(200);
    show_at(999, 10);
    show_at(1000, 20);
    show_at(1999, 30);
    show_at(2000, 40);
    EXPECT_EQ(titles,
              (title_list{"TOLVERA.IMG: 0 % (0 von 200 MB)", "TOLVERA.IMG: 10 % (20 von 200 MB)",
                          "TOLVERA.IMG: 20 % (40 von 200 MB)"}));
}

TEST(progress, counts_the_second_from_the_last_change) {
    begin(200);
    show_at(1000, 0); // the same text: the title stays as it was shown at 0
    show_at(1500, 10);
    show_at(2000, 20);
    show_at(2500, 30);
    EXPECT_EQ(titles,
              (title_list{"TOLVERA.IMG: 0 % (0 von 200 MB)", "TOLVERA.IMG: 5 % (10 von 200 MB)",
                          "TOLVERA.IMG: 15 % (30 von 200 MB)"}));
}

TEST(progress, shows_a_title_only_when_its_text_changes) {
    begin(4000);
    // Nothing written, however long it takes: no time left can be told.
    show_at(1 * second, 0);
    show_at(5 * second, 0);
    EXPECT_EQ(titles.size(), 1u);
    // A drive that stalls: the time left still rounds to the same minutes.
    show_at(160 * second, 1480);
    show_at(161 * second, 1480);
    show_at(177 * second, 1480);
    EXPECT_EQ(titles, (title_list{"TOLVERA.IMG: 0 % (0 von 4000 MB)",
                                  "TOLVERA.IMG: 37 % (1480 von 4000 MB), noch etwa 5 Min.",
                                  "TOLVERA.IMG: 37 % (1480 von 4000 MB), noch etwa 6 Min."}));
}

TEST(progress, finishes_at_once_and_gives_the_title_back) {
    begin(4000);
    show_at(100 * second, 3999);
    // The last block comes within the second: it is not shown, and the
    // finishing does not wait.
    show_at(100 * second + 500, 4000);
    show_finishing();
    show_finishing();
    EXPECT_EQ(titles, (title_list{"TOLVERA.IMG: 0 % (0 von 4000 MB)",
                                  "TOLVERA.IMG: 99 % (3999 von 4000 MB), noch etwa 5 Sek.",
                                  "TOLVERA.IMG: wird auf dem Laufwerk abgeschlossen ..."}));
    EXPECT_EQ(restored, 0);
    end_progress();
    EXPECT_EQ(restored, 1);
    EXPECT_EQ(titles.size(), 3u);
}

} // namespace
