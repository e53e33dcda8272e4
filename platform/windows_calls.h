// The calls that the Windows program makes into Windows.
// platform_windows.cpp makes each of them through the table system_calls,
// never directly (but for the thread's last error, which is no call into
// the system); a test build may put stand-ins into it before main() runs.
// The C runtime's streams go through runtime_calls.h.
//
// One list names them all: the table's fields and its entries are both
// made from it, so a call is named in one place and no entry can stand in
// the wrong field.
#pragma once

#include <windows.h>

#include <cstdio>

// clang-format off
#define TOLVERA_WINDOWS_CALLS(X)                                                           \
    /* The process and its console. */                                                      \
    X(SetErrorMode) X(GetStdHandle) X(GetConsoleMode) X(GetConsoleScreenBufferInfo)         \
    X(FillConsoleOutputCharacterA) X(FillConsoleOutputAttribute) X(SetConsoleCursorPosition) \
    X(SetConsoleCtrlHandler) X(Sleep)                                                       \
    /* The console window's title, and the clock. */                                        \
    X(GetConsoleTitleW) X(SetConsoleTitleW) X(GetTickCount64)                               \
    /* Memory. */                                                                           \
    X(VirtualAlloc) X(VirtualFree)                                                          \
    /* Files and drives. */                                                                 \
    X(CreateFileA) X(ReOpenFile) X(GetFileInformationByHandle)                              \
    X(GetFileInformationByHandleEx)                                                         \
    X(SetFileInformationByHandle) X(GetVolumeInformationByHandleW) X(GetDiskFreeSpaceA)     \
    X(GetDiskFreeSpaceExA) X(SetEndOfFile) X(WriteFile) X(FlushFileBuffers) X(CloseHandle)  \
    X(DeviceIoControl) X(GetCompressedFileSizeA)                                            \
    /* Not a call: the moment after a look at the interrupt flag. */                        \
    X(after_interrupt_look)
// clang-format on

// The one row that calls nothing of the system: the moment right after the
// program looked at its interrupt flag, where a test build can deliver a
// console control event.  It does nothing.
inline void after_interrupt_look() {}

namespace platform {

struct windows_calls {
#define TOLVERA_CALL_FIELD(name) decltype(&::name) name;
    TOLVERA_WINDOWS_CALLS(TOLVERA_CALL_FIELD)
#undef TOLVERA_CALL_FIELD
};

extern windows_calls system_calls;

} // namespace platform
