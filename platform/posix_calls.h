// The calls that the native build makes into the system.
// platform_posix.cpp makes each of them through the table system_calls,
// never directly; a test build may put stand-ins into it before main()
// runs.  The C runtime's streams go through runtime_calls.h.
//
// One list names them all: the table's fields and its entries are both
// made from it, so a call is named in one place and no entry can stand in
// the wrong field.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

// clang-format off
#define TOLVERA_POSIX_CALLS(X)                                                             \
    /* What is at the image path. */                                                        \
    X(lstat) X(fstatat) X(umask) X(fchmodat) X(unlink)                                      \
    /* The new image. */                                                                    \
    X(open) X(fallocate) X(fstatvfs) X(write) X(sync_file_range) X(posix_fadvise) X(fsync)  \
    X(close) X(fstat)                                                                       \
    /* The terminal's title, and the clock. */                                              \
    X(isatty) X(clock_gettime)                                                              \
    /* Interrupts. */                                                                       \
    X(sigemptyset) X(sigaction) X(raise) X(_Exit)                                           \
    /* Memory. */                                                                           \
    X(posix_memalign) X(free)                                                               \
    /* Not a call: the moment after a look at the interrupt flag. */                        \
    X(after_interrupt_look)
// clang-format on

// The one row that calls nothing of the system: the moment right after the
// program looked at its interrupt flag, where a test build can deliver an
// interrupt.  It does nothing.
inline void after_interrupt_look() {}

namespace platform {

struct posix_calls {
#define TOLVERA_CALL_FIELD(name) decltype(&::name) name;
    TOLVERA_POSIX_CALLS(TOLVERA_CALL_FIELD)
#undef TOLVERA_CALL_FIELD
};

extern posix_calls system_calls;

} // namespace platform
