// The coverage builds (TOLVERA_COVERAGE, set by the coverage presets) count
// each line and branch run and write the counts when the process exits.  A
// process that a signal or the system ends does not exit: it writes them
// first through these; what runs after that is not counted (the lines
// that raise the signal show as never run).  In every other build they are
// empty, and the program is the same as without them.
#pragma once

#ifdef TOLVERA_COVERAGE
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

// gcov's runtime.
extern "C" void __gcov_dump(void);
#endif

namespace platform {

#ifndef TOLVERA_COVERAGE

inline void write_coverage() {}
inline void prepare_coverage() {}

#else

// Writes the counts now, as exit would.
inline void write_coverage() { __gcov_dump(); }

#ifdef _WIN32

// The system's own control handler ends the process with ExitProcess,
// without the counts.  Registered at start, before any other handler, this
// one runs just before it.
inline BOOL WINAPI write_coverage_on_event(DWORD event) {
    static_cast<void>(event);
    write_coverage();
    return FALSE;
}

inline void prepare_coverage() {
    static_cast<void>(SetConsoleCtrlHandler(write_coverage_on_event, TRUE));
}

#else

// The default action of a signal ends the process without the counts;
// this writes them, then lets the signal end the process as it would have.
extern "C" inline void write_coverage_and_end(int signal_number) {
    write_coverage();
    static_cast<void>(signal(signal_number, SIG_DFL));
    static_cast<void>(raise(signal_number));
}

// At start, in place of the default action of each interrupt signal; an
// ignored one stays ignored.  catch_interrupts() saves this as the usual
// action and release_interrupts() puts it back.
inline void prepare_coverage() {
    const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction writing {};
    writing.sa_handler = write_coverage_and_end;
    sigemptyset(&writing.sa_mask);
    for (int signal_number : interrupt_signals) {
        struct sigaction usual;
        static_cast<void>(sigaction(signal_number, nullptr, &usual));
        if (usual.sa_handler != SIG_IGN)
            static_cast<void>(sigaction(signal_number, &writing, nullptr));
    }
}

#endif
#endif

} // namespace platform
