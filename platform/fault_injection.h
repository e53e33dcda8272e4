// Test builds make chosen runtime calls fail on purpose.
//
// In the test build (TOLVERA_FAULT_INJECTION) every call of the POSIX
// platform layer asks injected_fault() first.  The environment says which
// use of which call fails and how:
//
//   TOLVERA_FAULT=write:3:28     the 3rd write fails with errno 28
//   TOLVERA_FAULT=write:3:short  the 3rd write writes only half its bytes
//   TOLVERA_FAULT=write:3:sig2   signal 2 (SIGINT) arrives as the 3rd write
//                                starts; the write itself goes on
//   TOLVERA_FAULT=unlink:1:16,unlink:2:16   several faults, joined by commas
//   TOLVERA_FAULT_TRACE=file     every call's name is appended to file
//
// The program that users get is built without it; there the hook is a
// constant and costs nothing.
#pragma once

namespace platform {

enum class call {
    allocate,
    release, // cannot fail; traced to show the order of the clean-up
    query,
    chmod,
    unlink,
    open,
    write,
    reserve,
    writeback,
    fsync,
    close,
    read,
    print,
    flush
};

enum class fault { none, fail, short_write };

#ifdef TOLVERA_FAULT_INJECTION
// Counts this use of the call; on the chosen use sets errno and says how
// the call is to fail.
fault injected_fault(call which);
#else
inline fault injected_fault(call) { return fault::none; }
#endif

} // namespace platform
