// POSIX: drive X: is the directory /mnt/x, as under WSL.
#include "platform/fault_injection.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

// "D:\TOLVERA.IMG" names the file /mnt/d/TOLVERA.IMG.  Anything that is not
// a drive path is used as it stands.
class native_path {
  public:
    explicit native_path(const char* path) {
        if (!is_drive_letter(path[0]) || path[1] != ':') {
            text_ = path;
            return;
        }
        std::size_t n = 0;
        for (const char* p = "/mnt/"; *p != '\0'; p++)
            buffer_[n++] = *p;
        buffer_[n++] = static_cast<char>(path[0] | 0x20);
        for (const char* p = path + 2; *p != '\0' && n < sizeof buffer_ - 1; p++)
            buffer_[n++] = *p == '\\' ? '/' : *p;
        buffer_[n] = '\0';
        text_ = buffer_;
    }
    const char* c_str() const { return text_; }

  private:
    static bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

    char buffer_[64];
    const char* text_;
};

const std::size_t page_size = 4096;

// Read and write as far as the user's umask allows: the image is made
// writable again, but never writable for more people than the user wants.
mode_t read_write_mode() {
    mode_t mask = umask(0);
    static_cast<void>(umask(mask));
    return 0666 & ~mask;
}

} // namespace

void prepare_console() {}

void print(const char* format, ...) {
    if (injected_fault(call::print) != fault::none)
        return;
    va_list arguments;
    va_start(arguments, format);
    static_cast<void>(std::vprintf(format, arguments));
    va_end(arguments);
}

void flush_output() {
    if (injected_fault(call::flush) != fault::none)
        return;
    static_cast<void>(std::fflush(stdout));
}

char* read_line(char* buffer, int size) {
    if (injected_fault(call::read) != fault::none)
        return nullptr;
    return std::fgets(buffer, size, stdin);
}

void report_failure(const char* text) { std::perror(text); }

void exit_process(int status) { std::exit(status); }

int error_number() { return errno; }

// A symbolic link at the image path is never followed: the query, the mode
// change, the deletion and the creation all act on the link itself, so a
// planted link cannot make the program touch another file.

bool query_file_size(const char* path, long long* size) {
    if (injected_fault(call::query) != fault::none)
        return false;
    struct stat status;
    if (lstat(native_path(path).c_str(), &status) != 0)
        return false;
    *size = status.st_size;
    return true;
}

int make_writable(const char* path) {
    if (injected_fault(call::chmod) != fault::none)
        return -1;
    return fchmodat(AT_FDCWD, native_path(path).c_str(), read_write_mode(), AT_SYMLINK_NOFOLLOW);
}

int delete_file(const char* path) {
    if (injected_fault(call::unlink) != fault::none)
        return -1;
    return unlink(native_path(path).c_str());
}

int create_file(const char* path) {
    if (injected_fault(call::open) != fault::none)
        return -1;
    return open(native_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                0666);
}

long write_file(int descriptor, const void* data, unsigned size) {
    switch (injected_fault(call::write)) {
    case fault::fail:
        return -1;
    case fault::short_write:
        size /= 2;
        break;
    case fault::none:
        break;
    }
    return write(descriptor, data, size);
}

int close_file(int descriptor) {
    if (injected_fault(call::close) != fault::none) {
        // The descriptor is gone whatever close reports, as on Linux.
        int saved = errno;
        static_cast<void>(close(descriptor));
        errno = saved;
        return -1;
    }
    return close(descriptor);
}

void* allocate(std::size_t size) {
    if (injected_fault(call::allocate) != fault::none)
        return nullptr;
    void* block = nullptr;
    int error = posix_memalign(&block, page_size, size);
    if (error != 0) {
        errno = error;
        return nullptr;
    }
    return block;
}

void release(void* block) {
    static_cast<void>(injected_fault(call::release));
    std::free(block);
}

} // namespace platform
