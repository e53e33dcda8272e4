// Windows: the C runtime (msvcrt), the console and, where the runtime would
// follow a link or lose the system's reason, the system's own calls.
#include "platform/coverage.h"
#include "platform/platform.h"
#include "platform/reasons.h"

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

// The error number for a system error code, as the C runtime maps the
// codes of its own calls; and EFBIG, ENOSPC and EIO for what it leaves
// out or words otherwise: a file too large, a full disk by another name
// (a used-up disk quota, which the runtime calls ENOMEM), a failing device.
int error_number_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
        return EACCES;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
    case ERROR_DIRECT_ACCESS_HANDLE:
        return EBADF;
    case ERROR_ARENA_TRASHED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_INVALID_BLOCK:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA:
        return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_CRC:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
        return EIO;
    default:
        // The runtime's rule: the codes from write-protected to
        // sharing-buffer-exceeded are all a refused access.
        if (error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED)
            return EACCES;
        return EINVAL;
    }
}

// Sets errno from the system's last error; for the -1 of a failed call.
int failed() {
    errno = error_number_of(GetLastError());
    return -1;
}

// Opens what is at the path itself, never what a link or junction there
// points to.
HANDLE open_itself(const char* path, DWORD access, DWORD disposition) {
    return CreateFileA(
        path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

// No system box for a drive without a medium (an empty card reader, a
// DVD drive): the creation fails with its reason, as for any other drive
// that cannot take the image.
//
// The screens are cleared with escape sequences, which the classic console
// shows as garbage unless it is told to interpret them.  Pipes and files
// have no console mode and get the bytes as they are.
void prepare_process() {
    prepare_coverage();
    static_cast<void>(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
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

void report_failure(const char* text) { report_with_reason(text); }

void exit_process(int status) { std::exit(status); }

int error_number() { return errno; }

// The program runs elevated, and a symbolic link or junction at the image
// path may point at any file of the system: the query, the mode change,
// the deletion and the creation act on what is at the path itself.

// A link is shown as itself, with its own size; 64-bit, so that an image
// of 2 GiB or more is seen.
bool query_file_size(const char* path, long long* size) {
    WIN32_FILE_ATTRIBUTE_DATA status;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &status))
        return false;
    *size = static_cast<long long>(status.nFileSizeHigh) << 32 | status.nFileSizeLow;
    return true;
}

// Clears the read-only attribute, as _chmod with write permission does.
int make_writable(const char* path) {
    HANDLE file = open_itself(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return failed();
    FILE_BASIC_INFO basic;
    int result = 0;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        result = failed();
    } else if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic))
            result = failed();
    }
    static_cast<void>(CloseHandle(file));
    return result;
}

// DeleteFile removes a symbolic link, not its target; a junction or a
// link to a directory is a directory and goes with RemoveDirectory, which
// leaves what it points to alone.
int delete_file(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failed();
    const DWORD link_to_directory = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    BOOL deleted = (attributes & link_to_directory) == link_to_directory ? RemoveDirectoryA(path)
                                                                         : DeleteFileA(path);
    return deleted ? 0 : failed();
}

// Write-only, created if absent, cut to nothing if not, as _open with
// _O_WRONLY | _O_CREAT | _O_TRUNC does, but without following a link: a
// link or directory still at the path (its deletion failed) is refused
// with ELOOP before anything is written, as O_NOFOLLOW does on POSIX.
//
// Binary: in text mode the runtime looks for line feeds and hands each
// block to the system in pieces of a few kilobytes; in binary mode a block
// is one WriteFile of 1,048,576 bytes.  The bytes are the same.
int create_file(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failed();
    BY_HANDLE_FILE_INFORMATION information;
    int result = 0;
    if (!GetFileInformationByHandle(file, &information)) {
        result = failed();
    } else if ((information.dwFileAttributes &
                (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        errno = ELOOP;
        result = -1;
    } else if (!SetEndOfFile(file)) {
        result = failed();
    }
    if (result != 0) {
        static_cast<void>(CloseHandle(file));
        return result;
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (descriptor < 0)
        static_cast<void>(CloseHandle(file));
    return descriptor;
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
int flush_file(int descriptor) { return FlushFileBuffers(handle_of(descriptor)) ? 0 : failed(); }

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
