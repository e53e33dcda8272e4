// The calls that the Windows platform makes into Windows and its C runtime.
//
// platform_windows.cpp calls each of them through this table, never
// directly.  In the program that users get the table is a constant that
// names the real functions.  The test build (TOLVERA_FAULT_INJECTION)
// links windows_faults.cpp, which puts a stand-in in front of each entry at
// start: it can make any use of any call fail with a chosen Windows error
// code, give answers that a test machine cannot produce, and deliver a
// console control event at a chosen call (see windows_faults.cpp).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace platform {

struct windows_calls {
    // The process and its console.
    decltype(&::SetErrorMode) SetErrorMode;
    decltype(&::GetStdHandle) GetStdHandle;
    decltype(&::GetConsoleMode) GetConsoleMode;
    decltype(&::SetConsoleMode) SetConsoleMode;
    decltype(&::SetConsoleCtrlHandler) SetConsoleCtrlHandler;
    decltype(&::Sleep) Sleep;
    int (*vprintf)(const char* format, va_list arguments);
    int (*fflush)(FILE* stream);
    char* (*fgets)(char* buffer, int size, FILE* stream);

    // Memory.
    decltype(&::VirtualAlloc) VirtualAlloc;
    decltype(&::VirtualFree) VirtualFree;

    // Files and drives.
    decltype(&::GetFileAttributesExA) GetFileAttributesExA;
    decltype(&::GetFileAttributesA) GetFileAttributesA;
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::ReOpenFile) ReOpenFile;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
    decltype(&::GetVolumeInformationByHandleW) GetVolumeInformationByHandleW;
    decltype(&::GetDiskFreeSpaceA) GetDiskFreeSpaceA;
    decltype(&::GetDiskFreeSpaceExA) GetDiskFreeSpaceExA;
    decltype(&::SetEndOfFile) SetEndOfFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::DeleteFileA) DeleteFileA;
    decltype(&::RemoveDirectoryA) RemoveDirectoryA;
};

#ifdef TOLVERA_FAULT_INJECTION
// Puts the stand-ins in front of the real calls; called once at start.
void open_fault_seam(windows_calls& calls);
// A place in the platform's own code where a test may deliver a control
// event: after the program looked at its interrupt flag.
void fault_point(const char* name);
#else
inline void fault_point(const char*) {}
#endif

} // namespace platform
