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
int create_file(const char* path) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE);
}

long write_file(int descriptor, const void* data, unsigned size) {
    return _write(descriptor, data, size);
}

int close_file(int descriptor) { return _close(descriptor); }

void* allocate(std::size_t size) { return _aligned_malloc(size, 4096); }

void release(void* block) { _aligned_free(block); }

} // namespace platform
