// POSIX: drive X: is the directory /mnt/x, as under WSL.
#include "platform/coverage.h"
#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/reasons.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

// "D:\TOLVERA.IMG" names the file /mnt/d/TOLVERA.IMG.  The program names
// no other path than its image's, on a drive from A: to Z:.
class native_path {
  public:
    explicit native_path(const char* path) {
        static_cast<void>(std::snprintf(buffer_, sizeof buffer_, "/mnt/%c%s",
                                        static_cast<char>(path[0] | 0x20), path + 2));
        for (char* p = buffer_; *p != '\0'; p++)
            if (*p == '\\')
                *p = '/';
    }
    const char* c_str() const { return buffer_; }

  private:
    char buffer_[64];
};

const std::size_t page_size = 4096;

// The image goes to the drive in windows of this many bytes: each is
// started as soon as it is written, and waited for and dropped from the
// cache once the next one is written, so the drive is always busy and
// the cache holds at most two windows of the image.
const long long write_back_window = 8 * 1048576;

struct write_back_state {
    long long started; // bytes handed to the drive
    long long done;    // bytes on the drive and out of the cache
    bool unsupported;  // the file system writes back only on its own
};
write_back_state image_write_back;

// The signals that ask a program to stop, and what they did before.
const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction usual_actions[sizeof interrupt_signals / sizeof interrupt_signals[0]];
volatile std::sig_atomic_t caught_signal = 0;

extern "C" void note_interrupt(int signal_number) {
    if (caught_signal == 0)
        caught_signal = signal_number;
}

// Read and write as far as the user's umask allows: the image is made
// writable again, but never writable for more people than the user wants.
mode_t read_write_mode() {
    mode_t mask = umask(0);
    static_cast<void>(umask(mask));
    return 0666 & ~mask;
}

} // namespace

void prepare_process() { prepare_coverage(); }

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

void report_failure(const char* text) { report_with_reason(text); }

void report_image_left(const char* path) { report_left_behind(path); }

void exit_process(int status) { std::exit(status); }

int error_number() { return errno; }

// A symbolic link at the image path is never followed: the query, the mode
// change, the deletion and the creation all act on the link itself, so a
// planted link cannot make the program touch another file.

look look_at_path(const char* path, long long* size) {
    struct stat status;
    int result = injected_fault(call::query) != fault::none
                     ? -1
                     : lstat(native_path(path).c_str(), &status);
    if (result != 0)
        return means_nothing_there(errno) ? look::nothing_there : look::failed;
    *size = status.st_size;
    return look::found;
}

// Only a regular file: a folder, a device or a link named like the image
// keeps the mode its owner gave it, and what a link points to is never
// touched.
int make_writable(const char* path) {
    native_path file(path);
    struct stat status;
    if (lstat(file.c_str(), &status) != 0)
        return -1;
    if (!S_ISREG(status.st_mode))
        return 0;
    if (injected_fault(call::chmod) != fault::none)
        return -1;
    return fchmodat(AT_FDCWD, file.c_str(), read_write_mode(), AT_SYMLINK_NOFOLLOW);
}

int delete_file(const char* path) {
    if (injected_fault(call::unlink) != fault::none)
        return -1;
    return unlink(native_path(path).c_str());
}

int create_file(const char* path) {
    if (injected_fault(call::open) != fault::none)
        return -1;
    image_write_back = write_back_state{};
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
    case fault::report:
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

namespace {

// fstatvfs on the open file's drive.
int query_drive(int descriptor, struct statvfs* drive) {
    switch (injected_fault(call::freespace)) {
    case fault::fail:
        return -1;
    case fault::report: {
        drive_report report = injected_report();
        *drive = {};
        drive->f_frsize = report.block_size;
        drive->f_blocks = report.blocks;
        drive->f_bavail = report.available;
        return 0;
    }
    case fault::none:
    case fault::short_write:
        break;
    }
    return fstatvfs(descriptor, drive);
}

// Whether the drive reports less space free for the user than size bytes.
// A drive that reports nothing is not taken as too small: the query may
// fail, and a FUSE file system that does not answer it reports no blocks.
bool too_small(int descriptor, long long size) {
    struct statvfs drive;
    if (query_drive(descriptor, &drive) != 0 || drive.f_blocks == 0 || drive.f_frsize == 0)
        return false;
    unsigned long long available = ULLONG_MAX;
    if (drive.f_bavail <= ULLONG_MAX / drive.f_frsize)
        available = static_cast<unsigned long long>(drive.f_bavail) * drive.f_frsize;
    return static_cast<unsigned long long>(size) > available;
}

} // namespace

// Linux: fallocate reserves the blocks without changing the file's size,
// and refuses a size beyond the file system's largest file with EFBIG.
// Where it cannot (FUSE file systems such as ntfs-3g and exFAT answer
// EOPNOTSUPP), the drive's free space is the measure: the file was just
// created empty, so every byte of it must come from there.
int reserve_space(int descriptor, long long size) {
    int result = injected_fault(call::reserve) != fault::none
                     ? -1
                     : fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, size);
    if (result == 0)
        return 0;
    if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT)
        return -1;
    if (!too_small(descriptor, size))
        return 0;
    errno = ENOSPC;
    return -1;
}

namespace {

// sync_file_range over a range: false with errno on an error of the
// drive; a file system that cannot do it is left to write back on its own.
bool sync_range(int descriptor, long long from, long long to, unsigned flags) {
    write_back_state& state = image_write_back;
    if (state.unsupported)
        return true;
    int result = injected_fault(call::writeback) != fault::none
                     ? -1
                     : sync_file_range(descriptor, from, to - from, flags);
    if (result == 0)
        return true;
    if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP) {
        state.unsupported = true;
        return true;
    }
    return false;
}

} // namespace

int write_back(int descriptor, long long written) {
    write_back_state& state = image_write_back;
    if (written - state.started < write_back_window)
        return 0;
    if (!sync_range(descriptor, state.started, written, SYNC_FILE_RANGE_WRITE))
        return -1;
    if (state.started > state.done) {
        const unsigned wait =
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
        if (!sync_range(descriptor, state.done, state.started, wait))
            return -1;
        // Only advice: pages that are not yet clean simply stay.
        static_cast<void>(
            posix_fadvise(descriptor, state.done, state.started - state.done, POSIX_FADV_DONTNEED));
        state.done = state.started;
    }
    state.started = written;
    return 0;
}

int flush_file(int descriptor) {
    int result = injected_fault(call::fsync) != fault::none ? -1 : fsync(descriptor);
    if (result != 0)
        return -1;
    // All of it is clean now; none of it is needed in memory.
    static_cast<void>(posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED));
    return 0;
}

// A signal that the user sent on purpose and had ignored (nohup) stays
// ignored.  The writes go on after the handler (SA_RESTART): the loop
// looks at the flag after each block.
void catch_interrupts() {
    caught_signal = 0;
    struct sigaction noting {};
    noting.sa_handler = note_interrupt;
    noting.sa_flags = SA_RESTART;
    sigemptyset(&noting.sa_mask);
    for (std::size_t i = 0; i < sizeof interrupt_signals / sizeof interrupt_signals[0]; i++) {
        static_cast<void>(sigaction(interrupt_signals[i], nullptr, &usual_actions[i]));
        if (usual_actions[i].sa_handler != SIG_IGN)
            static_cast<void>(sigaction(interrupt_signals[i], &noting, nullptr));
    }
}

bool interrupted() {
    bool caught = caught_signal != 0;
    // A signal can come right after the flag was read; the test build
    // sends one there.  release_interrupts() passes such a signal on.
    static_cast<void>(injected_fault(call::look));
    if (!caught)
        return false;
    errno = EINTR;
    return true;
}

void release_interrupts() {
    for (std::size_t i = 0; i < sizeof interrupt_signals / sizeof interrupt_signals[0]; i++)
        static_cast<void>(sigaction(interrupt_signals[i], &usual_actions[i], nullptr));
    if (caught_signal != 0)
        static_cast<void>(raise(caught_signal));
}

// The shell sees the signal (status 128 + N), as if nothing had caught it.
void end_interrupted() {
    int signal_number = caught_signal;
    static_cast<void>(std::fflush(stdout));
    write_coverage();
    static_cast<void>(signal(signal_number, SIG_DFL));
    static_cast<void>(raise(signal_number));
    std::_Exit(128 + signal_number);
}

void* allocate(std::size_t size) {
    void* block = nullptr;
    int error = injected_fault(call::allocate) != fault::none
                    ? errno
                    : posix_memalign(&block, page_size, size);
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
