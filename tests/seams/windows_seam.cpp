// The fault seam of the Windows test build: a stand-in in front of every
// entry of the table of system calls (platform/windows_calls.h), put there
// before main() runs.  What each does on a planned use (see fault_plan.h):
//
//   TOLVERA_FAULT=WriteFile:3:112        the 3rd WriteFile fails; GetLastError()
//                                        then gives 112 (ERROR_DISK_FULL)
//   TOLVERA_FAULT=WriteFile:3:short      the 3rd WriteFile writes a little less
//                                        than half its bytes, so that the rest
//                                        lies off the sectors
//   TOLVERA_FAULT=WriteFile:3:zero       the 3rd WriteFile writes nothing and
//                                        reports success
//   TOLVERA_FAULT=WriteFile:3:ctrl0      console control event 0 (CTRL_C_EVENT)
//                                        arrives as the 3rd WriteFile starts;
//                                        the call itself goes on
//   TOLVERA_FAULT=after_interrupt_look:2:ctrl2
//                                        CTRL_CLOSE_EVENT right after the
//                                        program's 2nd look at its interrupt flag
//   TOLVERA_FAULT=SetFileInformationByHandle:2:ok
//                                        the call does nothing and succeeds
//
// The C runtime's streams have their stand-ins in runtime_seam.cpp, which
// take an error number instead of a code.  Answers that a test machine
// cannot give:
//
//   GetConsoleMode:1:console     standard output is a console
//   GetConsoleScreenBufferInfo:1:console     a console window of 80 by 25
//                                            in a buffer of 300 lines
//   FillConsoleOutputCharacterA:1:ok, FillConsoleOutputAttribute:1:ok,
//   SetConsoleCursorPosition:1:ok            done, without a console
//   GetFileInformationByHandleEx:1:compressed, ...:1:encrypted
//                                            the file comes out compressed,
//                                            or encrypted, as in a folder
//                                            marked to do that
//   GetFileInformationByHandleEx:2:allocated4096
//                                            the drive has allocated that
//                                            many bytes to the file
//   GetCompressedFileSizeA:1:bytes4096       the file takes that many bytes
//                                            of the drive
//   DeviceIoControl:1:ok                     done, whatever Wine says
//   GetFileInformationByHandle:1:reparse     a symbolic link was opened
//   GetFileInformationByHandle:1:junction    a junction or directory link
//   GetFileInformationByHandle:1:directory   a directory was opened
//   GetFileInformationByHandle:1:readonly    the file has no attribute but
//                                            read-only
//   GetFileInformationByHandle:1:other       another file than before (its
//                                            file index differs)
//   GetVolumeInformationByHandleW:1:fat32    the drive is formatted FAT32
//   GetDiskFreeSpaceA:1:sector8192           the drive's sectors are that large
//
// Every DeviceIoControl is logged, whatever is planned for it, to the
// file that TOLVERA_CONTROL_LOG names: one line each, the control code
// and the input's bytes in hexadecimal, the result (1, or 0 and the error
// code) and the name of the file whose handle it was asked on.
//
// A control event is delivered as Windows delivers it: on a thread of its
// own, which runs the registered handlers, the last registered first,
// under the lock that SetConsoleCtrlHandler takes too; when none of them
// takes the event, or the window is being closed, the process ends with
// STATUS_CONTROL_C_EXIT.  The calling thread goes on once a handler waits
// (Sleep) or returned.
#include "fault_plan.h"

#include "platform/windows_calls.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// gcov's runtime, in the coverage builds only.
extern "C" void __gcov_dump(void) __attribute__((weak));

namespace {

platform::windows_calls real;

// What this use of a call is to do.
struct action {
    bool fail;
    DWORD error;
    const char* answer; // "short", "ok", an answer, or null
};

[[noreturn]] void reject(const char* text, const char* why) {
    std::fprintf(stderr, "TOLVERA_FAULT: %s: '%s'\n", why, text);
    std::abort();
}

// The registered control handlers, as the system keeps them.
PHANDLER_ROUTINE handlers[8];
int handler_count = 0;
CRITICAL_SECTION handler_lock;
DWORD delivering_thread = 0;
HANDLE handler_waits = nullptr; // a handler called Sleep on the delivering thread

DWORD WINAPI run_handlers(void* argument) {
    DWORD event = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(argument));
    EnterCriticalSection(&handler_lock);
    bool taken = false;
    for (int i = handler_count; i-- > 0 && !taken;)
        taken = handlers[i](event) != FALSE;
    LeaveCriticalSection(&handler_lock);
    if (!taken || event == CTRL_CLOSE_EVENT) {
        // What the coverage build's own handler does before the system's.
        if (__gcov_dump != nullptr)
            __gcov_dump();
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
    return 0;
}

void deliver(DWORD event) {
    HANDLE thread = CreateThread(nullptr, 0, run_handlers,
                                 reinterpret_cast<void*>(static_cast<std::uintptr_t>(event)),
                                 CREATE_SUSPENDED, &delivering_thread);
    if (thread == nullptr)
        reject("CreateThread", "cannot deliver the event");
    static_cast<void>(ResumeThread(thread));
    HANDLE either[] = {handler_waits, thread};
    static_cast<void>(WaitForMultipleObjects(2, either, FALSE, INFINITE));
    static_cast<void>(CloseHandle(thread));
}

void deliver_event(const char* how) { deliver(static_cast<DWORD>(std::atoi(how + 4))); }

// Counts and traces this use of the call, delivers a planned event, and
// says what else is planned for it.  errno and the last error stay as
// they were unless the call is to fail.
action consult(const char* call) {
    DWORD last_error = GetLastError();
    const char* how = seam::consult(call, deliver_event);
    SetLastError(last_error);
    if (seam::is_number(how))
        return {true, static_cast<DWORD>(std::strtoul(how, nullptr, 10)), nullptr};
    return {false, 0, how};
}

} // namespace

const char* seam::consult_runtime(const char* call) {
    DWORD last_error = GetLastError();
    const char* how = seam::consult(call, deliver_event);
    SetLastError(last_error);
    return how;
}

namespace {

bool answered(const action& what, const char* answer) {
    return what.answer != nullptr && std::strcmp(what.answer, answer) == 0;
}

// A failure of a system call: its code for GetLastError().
template <typename R> R fail_with(const action& what, R result) {
    SetLastError(what.error);
    return result;
}

UINT WINAPI seam_SetErrorMode(UINT mode) {
    static_cast<void>(consult("SetErrorMode")); // cannot fail
    return real.SetErrorMode(mode);
}

HANDLE WINAPI seam_GetStdHandle(DWORD which) {
    action what = consult("GetStdHandle");
    return what.fail ? fail_with(what, INVALID_HANDLE_VALUE) : real.GetStdHandle(which);
}

BOOL WINAPI seam_GetConsoleMode(HANDLE console, LPDWORD mode) {
    action what = consult("GetConsoleMode");
    if (what.fail)
        return fail_with(what, FALSE);
    if (answered(what, "console")) {
        *mode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
        return TRUE;
    }
    return real.GetConsoleMode(console, mode);
}

// A console of 80 columns and 300 lines whose window shows lines 10 to 34.
BOOL WINAPI seam_GetConsoleScreenBufferInfo(HANDLE console, PCONSOLE_SCREEN_BUFFER_INFO screen) {
    action what = consult("GetConsoleScreenBufferInfo");
    if (what.fail)
        return fail_with(what, FALSE);
    if (answered(what, "console")) {
        *screen = {};
        screen->dwSize = {80, 300};
        screen->srWindow = {0, 10, 79, 34};
        screen->wAttributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
        return TRUE;
    }
    return real.GetConsoleScreenBufferInfo(console, screen);
}

BOOL WINAPI seam_FillConsoleOutputCharacterA(HANDLE console, CHAR character, DWORD cells, COORD at,
                                             LPDWORD done) {
    action what = consult("FillConsoleOutputCharacterA");
    if (what.fail)
        return fail_with(what, FALSE);
    if (answered(what, "ok")) {
        *done = cells;
        return TRUE;
    }
    return real.FillConsoleOutputCharacterA(console, character, cells, at, done);
}

BOOL WINAPI seam_FillConsoleOutputAttribute(HANDLE console, WORD attribute, DWORD cells, COORD at,
                                            LPDWORD done) {
    action what = consult("FillConsoleOutputAttribute");
    if (what.fail)
        return fail_with(what, FALSE);
    if (answered(what, "ok")) {
        *done = cells;
        return TRUE;
    }
    return real.FillConsoleOutputAttribute(console, attribute, cells, at, done);
}

BOOL WINAPI seam_SetConsoleCursorPosition(HANDLE console, COORD at) {
    action what = consult("SetConsoleCursorPosition");
    if (what.fail)
        return fail_with(what, FALSE);
    return answered(what, "ok") ? TRUE : real.SetConsoleCursorPosition(console, at);
}

BOOL WINAPI seam_SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    action what = consult("SetConsoleCtrlHandler");
    if (what.fail)
        return fail_with(what, FALSE);
    EnterCriticalSection(&handler_lock);
    if (add && handler_count < static_cast<int>(sizeof handlers / sizeof handlers[0])) {
        handlers[handler_count++] = routine;
    } else if (!add) {
        for (int i = 0; i < handler_count; i++) {
            if (handlers[i] == routine) {
                handlers[i] = handlers[--handler_count];
                break;
            }
        }
    }
    LeaveCriticalSection(&handler_lock);
    // Real interrupts (a SIGINT under Wine) reach the handler as well.
    return real.SetConsoleCtrlHandler(routine, add);
}

void WINAPI seam_Sleep(DWORD milliseconds) {
    static_cast<void>(consult("Sleep")); // cannot fail
    if (GetCurrentThreadId() == delivering_thread)
        static_cast<void>(SetEvent(handler_waits));
    real.Sleep(milliseconds);
}

// "title": the console window's title is the user's own, with letters
// that no single code page holds, also where the test runs without a
// console.
const wchar_t users_title[] = L"Eingabeaufforderung \u00c4rger \u0394\u03b9\u03c3\u03ba \u2013 "
                              L"\u753b\u50cf";

DWORD WINAPI seam_GetConsoleTitleW(LPWSTR title, DWORD size) {
    action what = consult("GetConsoleTitleW");
    if (what.fail)
        return fail_with(what, 0U);
    if (answered(what, "title")) {
        std::wcsncpy(title, users_title, size);
        title[size - 1] = L'\0';
        return static_cast<DWORD>(std::wcslen(title));
    }
    return real.GetConsoleTitleW(title, size);
}

// Every title set, one line each in UTF-8, to the file that
// TOLVERA_TITLE_LOG names: what the user saw, and got back.
void log_title(LPCWSTR title) {
    const char* file = std::getenv("TOLVERA_TITLE_LOG");
    if (file == nullptr)
        return;
    char text[1024];
    int length = WideCharToMultiByte(CP_UTF8, 0, title, -1, text, sizeof text, nullptr, nullptr);
    FILE* out = std::fopen(file, "ab");
    if (out == nullptr || length == 0)
        reject(file, "cannot log the title");
    std::fprintf(out, "%s\n", text);
    static_cast<void>(std::fclose(out));
}

BOOL WINAPI seam_SetConsoleTitleW(LPCWSTR title) {
    action what = consult("SetConsoleTitleW");
    if (what.fail)
        return fail_with(what, FALSE);
    log_title(title);
    return answered(what, "ok") ? TRUE : real.SetConsoleTitleW(title);
}

ULONGLONG WINAPI seam_GetTickCount64() {
    static_cast<void>(consult("GetTickCount64")); // cannot fail
    return real.GetTickCount64();
}

LPVOID WINAPI seam_VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protection) {
    action what = consult("VirtualAlloc");
    return what.fail ? fail_with(what, static_cast<LPVOID>(nullptr))
                     : real.VirtualAlloc(address, size, type, protection);
}

BOOL WINAPI seam_VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
    action what = consult("VirtualFree");
    BOOL freed = real.VirtualFree(address, size, type);
    return what.fail ? fail_with(what, FALSE) : freed;
}

HANDLE WINAPI seam_CreateFileA(LPCSTR path, DWORD access, DWORD sharing,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE template_file) {
    action what = consult("CreateFileA");
    return what.fail ? fail_with(what, INVALID_HANDLE_VALUE)
                     : real.CreateFileA(path, access, sharing, security, disposition, flags,
                                        template_file);
}

HANDLE WINAPI seam_ReOpenFile(HANDLE file, DWORD access, DWORD sharing, DWORD flags) {
    action what = consult("ReOpenFile");
    return what.fail ? fail_with(what, INVALID_HANDLE_VALUE)
                     : real.ReOpenFile(file, access, sharing, flags);
}

BOOL WINAPI seam_GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    action what = consult("GetFileInformationByHandle");
    if (what.fail)
        return fail_with(what, FALSE);
    BOOL result = real.GetFileInformationByHandle(file, information);
    if (!result)
        return result;
    if (answered(what, "reparse"))
        information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (answered(what, "junction"))
        information->dwFileAttributes |= FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (answered(what, "directory"))
        information->dwFileAttributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (answered(what, "readonly"))
        information->dwFileAttributes = FILE_ATTRIBUTE_READONLY;
    if (answered(what, "other"))
        information->nFileIndexLow ^= 0x5a5a;
    return result;
}

// A number after the answer's word, as in "bytes4096".
bool answered_number(const action& what, const char* word, unsigned long long* number) {
    std::size_t length = std::strlen(word);
    if (what.answer == nullptr || std::strncmp(what.answer, word, length) != 0)
        return false;
    *number = std::strtoull(what.answer + length, nullptr, 10);
    return true;
}

BOOL WINAPI seam_GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                              LPVOID information, DWORD size) {
    action what = consult("GetFileInformationByHandleEx");
    if (what.fail)
        return fail_with(what, FALSE);
    BOOL result = real.GetFileInformationByHandleEx(file, kind, information, size);
    unsigned long long allocated = 0;
    if (result && kind == FileBasicInfo) {
        DWORD& attributes = static_cast<FILE_BASIC_INFO*>(information)->FileAttributes;
        if (answered(what, "compressed"))
            attributes |= FILE_ATTRIBUTE_COMPRESSED;
        if (answered(what, "encrypted"))
            attributes |= FILE_ATTRIBUTE_ENCRYPTED;
    }
    if (result && kind == FileStandardInfo && answered_number(what, "allocated", &allocated))
        static_cast<FILE_STANDARD_INFO*>(information)->AllocationSize.QuadPart =
            static_cast<LONGLONG>(allocated);
    return result;
}

// "posix": a deletion with POSIX semantics (FileDispositionInfoEx, which
// Wine refuses) is taken, as Windows 10 takes it on NTFS; the file goes
// as with the plain deletion, which Wine carries out.
BOOL WINAPI seam_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                            LPVOID information, DWORD size) {
    action what = consult("SetFileInformationByHandle");
    if (what.fail)
        return fail_with(what, FALSE);
    if (answered(what, "ok"))
        return TRUE;
    const FILE_INFO_BY_HANDLE_CLASS disposition_info_ex =
        static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    if (answered(what, "posix") && kind == disposition_info_ex) {
        FILE_DISPOSITION_INFO on_close = {TRUE};
        return real.SetFileInformationByHandle(file, FileDispositionInfo, &on_close,
                                               sizeof on_close);
    }
    return real.SetFileInformationByHandle(file, kind, information, size);
}

BOOL WINAPI seam_GetVolumeInformationByHandleW(HANDLE file, LPWSTR label, DWORD label_size,
                                               LPDWORD serial, LPDWORD name_length, LPDWORD flags,
                                               LPWSTR file_system, DWORD file_system_size) {
    action what = consult("GetVolumeInformationByHandleW");
    if (what.fail)
        return fail_with(what, FALSE);
    BOOL result = real.GetVolumeInformationByHandleW(file, label, label_size, serial, name_length,
                                                     flags, file_system, file_system_size);
    if (answered(what, "fat32") && file_system != nullptr && file_system_size > 5) {
        std::wcscpy(file_system, L"FAT32");
        return TRUE;
    }
    return result;
}

BOOL WINAPI seam_GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectors_per_cluster, LPDWORD sector_size,
                                   LPDWORD free_clusters, LPDWORD clusters) {
    action what = consult("GetDiskFreeSpaceA");
    if (what.fail)
        return fail_with(what, FALSE);
    BOOL result =
        real.GetDiskFreeSpaceA(root, sectors_per_cluster, sector_size, free_clusters, clusters);
    if (result && what.answer != nullptr && std::strncmp(what.answer, "sector", 6) == 0)
        *sector_size = static_cast<DWORD>(std::strtoul(what.answer + 6, nullptr, 10));
    return result;
}

BOOL WINAPI seam_GetDiskFreeSpaceExA(LPCSTR root, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                     PULARGE_INTEGER free) {
    action what = consult("GetDiskFreeSpaceExA");
    return what.fail ? fail_with(what, FALSE)
                     : real.GetDiskFreeSpaceExA(root, available, total, free);
}

BOOL WINAPI seam_SetEndOfFile(HANDLE file) {
    action what = consult("SetEndOfFile");
    return what.fail ? fail_with(what, FALSE) : real.SetEndOfFile(file);
}

BOOL WINAPI seam_WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED at) {
    action what = consult("WriteFile");
    if (what.fail)
        return fail_with(what, FALSE);
    if (answered(what, "short") && size > 2000)
        size = size / 2 - 1000;
    if (answered(what, "zero")) {
        *written = 0;
        return TRUE;
    }
    return real.WriteFile(file, data, size, written, at);
}

BOOL WINAPI seam_FlushFileBuffers(HANDLE file) {
    action what = consult("FlushFileBuffers");
    return what.fail ? fail_with(what, FALSE) : real.FlushFileBuffers(file);
}

// The handle is gone whatever the failure says, as on Windows.
BOOL WINAPI seam_CloseHandle(HANDLE object) {
    action what = consult("CloseHandle");
    BOOL closed = real.CloseHandle(object);
    return what.fail ? fail_with(what, FALSE) : closed;
}

void log_control(HANDLE device, DWORD code, LPVOID input, DWORD input_size, BOOL result,
                 DWORD error) {
    const char* file = std::getenv("TOLVERA_CONTROL_LOG");
    if (file == nullptr)
        return;
    char name[MAX_PATH + 1] = "?";
    if (GetFinalPathNameByHandleA(device, name, sizeof name, FILE_NAME_NORMALIZED) == 0)
        std::strcpy(name, "?");
    FILE* out = std::fopen(file, "ab");
    if (out == nullptr)
        reject(file, "cannot log the control");
    std::fprintf(out, "%08lx ", static_cast<unsigned long>(code));
    for (DWORD i = 0; i < input_size; i++)
        std::fprintf(out, "%02x", static_cast<const unsigned char*>(input)[i]);
    if (result)
        std::fprintf(out, " 1");
    else
        std::fprintf(out, " 0 %lu", static_cast<unsigned long>(error));
    std::fprintf(out, " %s\n", name);
    static_cast<void>(std::fclose(out));
}

BOOL WINAPI seam_DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD input_size,
                                 LPVOID output, DWORD output_size, LPDWORD returned,
                                 LPOVERLAPPED overlapped) {
    action what = consult("DeviceIoControl");
    BOOL result = TRUE;
    if (what.fail)
        result = fail_with(what, FALSE);
    else if (!answered(what, "ok"))
        result = real.DeviceIoControl(device, code, input, input_size, output, output_size,
                                      returned, overlapped);
    DWORD error = GetLastError();
    log_control(device, code, input, input_size, result, error);
    SetLastError(error);
    return result;
}

DWORD WINAPI seam_GetCompressedFileSizeA(LPCSTR path, LPDWORD high) {
    action what = consult("GetCompressedFileSizeA");
    if (what.fail)
        return fail_with(what, INVALID_FILE_SIZE);
    unsigned long long bytes = 0;
    if (!answered_number(what, "bytes", &bytes))
        return real.GetCompressedFileSizeA(path, high);
    if (high != nullptr)
        *high = static_cast<DWORD>(bytes >> 32);
    return static_cast<DWORD>(bytes);
}

void seam_after_interrupt_look() { static_cast<void>(consult("after_interrupt_look")); }

struct seam_installer {
    seam_installer() {
        static const char* const names[] = {
#define TOLVERA_CALL_NAME(name) #name,
            TOLVERA_WINDOWS_CALLS(TOLVERA_CALL_NAME)
#undef TOLVERA_CALL_NAME
        };
        seam::add_calls(names, static_cast<int>(sizeof names / sizeof names[0]));
        InitializeCriticalSection(&handler_lock);
        handler_waits = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        real = platform::system_calls;
#define TOLVERA_CALL_STAND_IN(name) platform::system_calls.name = seam_##name;
        TOLVERA_WINDOWS_CALLS(TOLVERA_CALL_STAND_IN)
#undef TOLVERA_CALL_STAND_IN
    }
};
seam_installer installed;

} // namespace
