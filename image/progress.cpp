#include "image/progress.h"

#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const long long one_second = 1000;
// Too early to tell the time left from the speed seen so far.
const long long first_estimate = 3 * one_second;

struct progress {
    long long total;    // megabytes
    long long began;    // milliseconds
    long long shown_at; // milliseconds, when the title last changed
    char shown[96];     // the title shown
};
progress current;

// Whether the title changed.
bool show(const char* text) {
    if (std::strcmp(text, current.shown) == 0)
        return false;
    platform::show_window_title(text);
    static_cast<void>(std::snprintf(current.shown, sizeof current.shown, "%s", text));
    return true;
}

// The whole seconds still to go: remaining * elapsed / done / 1000,
// rounded down, exactly.  remaining and done are below 2^31, but elapsed
// is a whole run's milliseconds, and that product would overflow 64 bits
// after some 50 days of the largest image.  So elapsed is divided first,
// into whole milliseconds a megabyte and a rest below done, and those
// milliseconds into whole seconds and the milliseconds over: no product
// then reaches 2^62 but the seconds themselves, which stop at the largest
// number there is (a clock of centuries).  Integers, not floating point,
// so that each rounding boundary falls exactly where it should.
long long seconds_left(long long remaining, long long elapsed, long long done) {
    if (remaining <= 0)
        return 0;
    long long per_megabyte = elapsed / done;
    long long rest = remaining * (elapsed % done) / done;
    long long part = (remaining * (per_megabyte % one_second) + rest) / one_second;
    long long whole_seconds = per_megabyte / one_second;
    if (whole_seconds > (LLONG_MAX - part) / remaining)
        return LLONG_MAX;
    return remaining * whole_seconds + part;
}

// "noch etwa 40 Sek." or "noch etwa 7 Min.", rounded up.
void describe_time_left(char* text, std::size_t size, long long seconds) {
    if (seconds < 60) {
        long long five = (seconds + 4) / 5 * 5;
        static_cast<void>(std::snprintf(text, size, ", noch etwa %lld Sek.", five < 5 ? 5 : five));
    } else {
        // Rounded up without adding to seconds, which may be the largest.
        long long minutes = seconds / 60 + (seconds % 60 != 0 ? 1 : 0);
        static_cast<void>(std::snprintf(text, size, ", noch etwa %lld Min.", minutes));
    }
}

} // namespace

void begin_progress(int megabytes) {
    current = progress{};
    current.total = megabytes;
    current.began = platform::milliseconds();
    current.shown_at = current.began;
    char text[sizeof current.shown];
    static_cast<void>(
        std::snprintf(text, sizeof text, "TOLVERA.IMG: 0 %% (0 von %lld MB)", current.total));
    static_cast<void>(show(text));
}

void show_progress(long long megabytes) {
    long long now = platform::milliseconds();
    if (now - current.shown_at < one_second)
        return;
    char left[48] = "";
    long long elapsed = now - current.began;
    if (elapsed >= first_estimate && megabytes > 0)
        describe_time_left(left, sizeof left,
                           seconds_left(current.total - megabytes, elapsed, megabytes));
    char text[sizeof current.shown];
    static_cast<void>(std::snprintf(text, sizeof text, "TOLVERA.IMG: %lld %% (%lld von %lld MB)%s",
                                    megabytes * 100 / current.total, megabytes, current.total,
                                    left));
    if (show(text))
        current.shown_at = now;
}

void show_finishing() {
    static_cast<void>(show("TOLVERA.IMG: wird auf dem Laufwerk abgeschlossen ..."));
}

void end_progress() { platform::restore_window_title(); }
