// Linked into the native coverage build: a process that a signal ends
// does not exit, and would lose its counts of the lines and branches run.
// Before main() runs, this puts a handler in place of the default action
// of each interrupt signal (an ignored one stays ignored) that writes the
// counts and then lets the signal end the process; and it writes them
// before the program raises a signal itself to end as interrupted, and
// before it ends at once with _Exit where that signal did not end it.  The
// lines that run after that are not counted.
#include "platform/posix_calls.h"

#include <signal.h>

extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);

namespace {

decltype(&::raise) real_raise = nullptr;

extern "C" void write_counts_and_end(int number) {
    __gcov_dump();
    struct sigaction usual {};
    usual.sa_handler = SIG_DFL;
    sigemptyset(&usual.sa_mask);
    static_cast<void>(sigaction(number, &usual, nullptr));
    static_cast<void>(raise(number));
}

// A process dumps its counts once; where the signal did not end it, the
// counts start again from zero, to be added at its real end.
int raise_with_counts(int number) noexcept {
    __gcov_dump();
    int result = real_raise(number);
    __gcov_reset();
    return result;
}

// _Exit, unlike exit, writes no counts of its own.
decltype(&::_Exit) real_exit_at_once = nullptr;

__attribute__((noreturn)) void exit_at_once_with_counts(int status) noexcept {
    __gcov_dump();
    real_exit_at_once(status);
    __builtin_unreachable();
}

struct coverage_installer {
    coverage_installer() {
        struct sigaction writing {};
        writing.sa_handler = write_counts_and_end;
        sigemptyset(&writing.sa_mask);
        const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};
        for (int number : interrupt_signals) {
            struct sigaction usual;
            static_cast<void>(sigaction(number, nullptr, &usual));
            if (usual.sa_handler != SIG_IGN)
                static_cast<void>(sigaction(number, &writing, nullptr));
        }
        real_raise = platform::system_calls.raise;
        platform::system_calls.raise = raise_with_counts;
        real_exit_at_once = platform::system_calls._Exit;
        platform::system_calls._Exit = exit_at_once_with_counts;
    }
};
coverage_installer installed;

} // namespace
