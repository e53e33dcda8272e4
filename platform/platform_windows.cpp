// Windows: the C runtime (msvcrt) and the console.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace platform {
namespace {

HANDLE console_output = INVALID_HANDLE_VALUE;
DWORD original_console_mode = 0;

void restore_console_mode() {
    static_cast<void>(SetConsoleMode(console_output, original_console_mode));
}

// Set by the console's control handler, which runs on a thread of its own.
volatile LONG interrupt_caught = 0;
// Set once the writing no longer looks at interrupt_caught.
HANDLE writing_over = nullptr;

// Ctrl+C, Ctrl+Break, the console window closed, logoff or shutdown.  The
// process must not end before the writing thread has deleted the partial
// image: it ends the process itself (end_interrupted), and this thread
// waits until then.  Windows gives a closed window about 5 seconds, far
// more than one block takes.  If the writing is over before it looked at
// the flag, the next handler, the system's, ends the program as usual.
BOOL WINAPI note_interrupt(DWORD event) {
    static_cast<void>(event);
    static_cast<void>(InterlockedExchange(&interrupt_caught, 1));
    static_cast<void>(WaitForSingleObject(writing_over, INFINITE));
    return FALSE;
}

HANDLE handle_of(int descriptor) { return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)); }

// The error number for a system error code, as the C runtime maps them
// for its own calls.
int error_number_of(DWORD error) {
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA:
        return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
        return ENOENT;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    default:
        return EIO;
    }
}

} // namespace

// The screens are cleared with escape sequences, which the classic console
// shows as garbage unless it is told to interpret them.  Pipes and files
// have no console mode and get the bytes as they are.
void prepare_console() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode))
        return;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0)
        return;
    if (!SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return;
    console_output = output;
    original_console_mode = mode;
    static_cast<void>(std::atexit(restore_console_mode));
}

void print(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    static_cast<void>(std::vprintf(format, arguments));
    va_end(arguments);
}

void flush_output() { static_cast<void>(std::fflush(stdout)); }

char* read_line(char* buffer, int size) { return std::fgets(buffer, size, stdin); }

void report_failure(const char* text) { std::perror(text); }

void exit_process(int status) { std::exit(status); }

int error_number() { return errno; }

// _stat64: with the 32-bit _stat an image of 2 GiB or more fails the query
// and would count as absent.
bool query_file_size(const char* path, long long* size) {
    struct _stat64 status;
    if (_stat64(path, &status) != 0)
        return false;
    *size = status.st_size;
    return true;
}

int make_writable(const char* path) { return _chmod(path, _S_IREAD | _S_IWRITE); }

int delete_file(const char* path) { return _unlink(path); }

// Truncated, so that an old file that could not be deleted keeps no tail.
// Binary: in text mode the runtime looks for line feeds and hands each
// block to the system in pieces of a few kilobytes; in binary mode a block
// is one WriteFile of 1,048,576 bytes.  The bytes are the same.
int create_file(const char* path) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

long write_file(int descriptor, const void* data, unsigned size) {
    return _write(descriptor, data, size);
}

int close_file(int descriptor) { return _close(descriptor); }

// The allocation of the whole size.  NTFS and exFAT take it or answer
// ERROR_DISK_FULL; the FAT driver answers an allocation of 4 GiB or more,
// beyond its largest file, with ERROR_DISK_FULL as well.  A file system or
// a system that cannot allocate ahead (ERROR_INVALID_FUNCTION,
// ERROR_NOT_SUPPORTED, ERROR_CALL_NOT_IMPLEMENTED, ...) is written as it is.
int reserve_space(int descriptor, long long size) {
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = size;
    if (SetFileInformationByHandle(handle_of(descriptor), FileAllocationInfo, &allocation,
                                   sizeof allocation))
        return 0;
    DWORD error = GetLastError();
    if (error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL &&
        error != ERROR_NOT_ENOUGH_QUOTA && error != ERROR_FILE_TOO_LARGE)
        return 0;
    errno = error_number_of(error);
    return -1;
}

// The system's cache writes back on its own; the flush at the end waits
// for what is left.
int write_back(int descriptor, long long written) {
    static_cast<void>(descriptor);
    static_cast<void>(written);
    return 0;
}

// What _commit does, with the system's reason kept: _commit reports every
// failure as EBADF.
int flush_file(int descriptor) {
    if (FlushFileBuffers(handle_of(descriptor)))
        return 0;
    errno = error_number_of(GetLastError());
    return -1;
}

void catch_interrupts() {
    interrupt_caught = 0;
    writing_over = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (writing_over != nullptr)
        static_cast<void>(SetConsoleCtrlHandler(note_interrupt, TRUE));
}

bool interrupted() {
    if (interrupt_caught == 0)
        return false;
    errno = EINTR;
    return true;
}

void release_interrupts() {
    if (writing_over == nullptr)
        return;
    static_cast<void>(SetConsoleCtrlHandler(note_interrupt, FALSE));
    static_cast<void>(SetEvent(writing_over));
}

// As the system's own handler ends a program on Ctrl+C; exit() also puts
// the console mode back.  The waiting control handler ends with the process.
void end_interrupted() { std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT)); }

void* allocate(std::size_t size) { return _aligned_malloc(size, 4096); }

void release(void* block) { _aligned_free(block); }

} // namespace platform
