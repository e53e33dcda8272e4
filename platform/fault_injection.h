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
//   TOLVERA_FAULT=look:7:sig15   signal 15 arrives right after the 7th look
//                                at the interrupt flag has read it
//   TOLVERA_FAULT=freespace:1:report4096/25600/100
//                                the 1st query of the drive's free space
//                                answers: blocks of 4096 bytes, 25600 in
//                                all, 100 of them free for the user
//   TOLVERA_FAULT=unlink:1:16,unlink:2:16   several faults, joined by commas;
//                                a signal planned for the same use as a
//                                failure arrives first
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
    freespace, // asked only where the file system cannot reserve
    writeback,
    fsync,
    close,
    read,
    print,
    flush,
    look // the look at the interrupt flag; never fails
};

enum class fault { none, fail, short_write, report };

// What a query of the drive answers instead of the system (fault::report).
struct drive_report {
    unsigned long long block_size;
    unsigned long long blocks;
    unsigned long long available; // blocks free for the user
};

#ifdef TOLVERA_FAULT_INJECTION
// Counts this use of the call; on the chosen use sets errno and says how
// the call is to fail.
fault injected_fault(call which);
// The answer planned for the call that was just told fault::report.
drive_report injected_report();
#else
inline fault injected_fault(call) { return fault::none; }
inline drive_report injected_report() { return drive_report{}; }
#endif

} // namespace platform
