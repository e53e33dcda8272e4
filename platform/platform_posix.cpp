// POSIX: drive X: is the directory /mnt/x, as under WSL.  Every call into
// the system goes through the table in posix_calls.h, and those of the C
// runtime's streams through runtime.cpp's.
#include "platform/platform.h"
#include "platform/posix_calls.h"
#include "platform/reasons.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace platform {

#define TOLVERA_CALL_ENTRY(name) ::name,
posix_calls system_calls = {TOLVERA_POSIX_CALLS(TOLVERA_CALL_ENTRY)};
#undef TOLVERA_CALL_ENTRY

namespace {

const posix_calls& calls = system_calls;

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
const long long write_back_window = 8LL * bytes_per_megabyte;

// The open image.
struct image_file {
    int descriptor;         // -1 when none is open
    file_identity identity; // the file it is, to delete none other
    long long written;      // bytes written
    long long handed_over;  // bytes handed to the drive
    long long settled;      // bytes on the drive and out of the cache
    bool no_write_back;     // the file system writes back only on its own
};
image_file image = {-1, {0, 0}, 0, 0, 0, false};

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
    mode_t mask = calls.umask(0);
    static_cast<void>(calls.umask(mask));
    return 0666 & ~mask;
}

} // namespace

// A write to a pipe whose reader has gone then fails with EPIPE, which
// like every other failed output is not looked at, as on Windows: the
// default, SIGPIPE, would end the program in the middle of its clean-up
// and leave a partial image behind.
void prepare_process() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    static_cast<void>(calls.sigemptyset(&ignore.sa_mask));
    static_cast<void>(calls.sigaction(SIGPIPE, &ignore, nullptr));
}

void clear_screen() { print("\33[H\33[J"); }

// A symbolic link at the image path is never followed: the look, the
// deletion and the creation act on the link itself, and the mode change
// leaves it alone, so a planted link cannot make the program touch
// another file.

namespace {

file_identity identity_of(const struct stat& status) {
    return {static_cast<unsigned long long>(status.st_dev),
            static_cast<unsigned long long>(status.st_ino)};
}

bool same_file(const struct stat& status, const file_identity& identity) {
    file_identity seen = identity_of(status);
    return seen.volume == identity.volume && seen.file == identity.file;
}

// POSIX deletes only by name: a look right before the deletion tells
// whether the name still stands for the file meant.  status gets what
// the look found.
int look_again(const char* file, const file_identity& meant, struct stat* status) {
    if (calls.lstat(file, status) != 0)
        return -1;
    if (!same_file(*status, meant)) {
        errno = EEXIST;
        return -1;
    }
    return 0;
}

} // namespace

look look_at_path(const char* path, long long* bytes, file_identity* identity) {
    struct stat status;
    if (calls.lstat(native_path(path).c_str(), &status) != 0)
        return means_nothing_there(errno) ? look::nothing_there : look::failed;
    *bytes = status.st_size;
    *identity = identity_of(status);
    return look::found;
}

// Unlinking needs no write permission on the file itself; the mode is
// changed first, as on Windows, so that a file whose deletion fails can
// still be cut by the creation.  Only a regular file: a folder, a device
// or a link named like the image keeps the mode its owner gave it.
int delete_agreed_file(const char* path, const file_identity& agreed) {
    native_path file(path);
    struct stat status;
    if (look_again(file.c_str(), agreed, &status) != 0)
        return -1;
    if (S_ISREG(status.st_mode))
        static_cast<void>(
            calls.fchmodat(AT_FDCWD, file.c_str(), read_write_mode(), AT_SYMLINK_NOFOLLOW));
    return calls.unlink(file.c_str());
}

namespace {

// Why what is at the path cannot be the image.
int error_for_what_is_not_a_file(const struct stat& status) {
    if (S_ISLNK(status.st_mode))
        return ELOOP;
    if (S_ISDIR(status.st_mode))
        return EISDIR;
    return not_a_plain_file;
}

// The file the user agreed to replace, still there: opened without
// following a link and without waiting (a FIFO would wait for a reader;
// on a plain file O_NONBLOCK changes nothing), and kept only where the
// descriptor shows the same plain file; then made writable and cut to
// nothing, so that a failure of either leaves it as it was.  Another
// file at the path by now is for the caller to ask about (EEXIST).
int open_agreed_file(const char* file, const file_identity& agreed) {
    struct stat status;
    if (look_again(file, agreed, &status) != 0) {
        // Gone, or another file: the look that follows tells which.
        errno = EEXIST;
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = error_for_what_is_not_a_file(status);
        return -1;
    }
    int descriptor = calls.open(file, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return -1;
    int error = 0;
    if (calls.fstat(descriptor, &status) != 0)
        error = errno;
    else if (!same_file(status, agreed))
        // Another file since the look, of whatever kind: the same file is
        // the plain file that the look showed.
        error = EEXIST;
    else if (calls.fchmod(descriptor, read_write_mode()) != 0 ||
             calls.ftruncate(descriptor, 0) != 0)
        error = errno;
    if (error != 0) {
        static_cast<void>(calls.close(descriptor));
        errno = error;
        return -1;
    }
    image = image_file{descriptor, identity_of(status), 0, 0, 0, false};
    return 0;
}

} // namespace

// O_EXCL makes the creation itself refuse whatever is at the path by
// then, a link or a folder included, with EEXIST.  The new file's
// identity is taken from its descriptor, for its deletion after a
// failure.
int open_image(const char* path, const file_identity* agreed) {
    native_path file(path);
    int descriptor =
        calls.open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        if (errno == EEXIST && agreed != nullptr)
            return open_agreed_file(file.c_str(), *agreed);
        return -1;
    }
    struct stat status;
    if (calls.fstat(descriptor, &status) != 0) {
        // Without its identity the new file cannot be told from one that
        // takes its name later: it stays, empty, rather than that a file
        // of somebody else's goes.
        int error = errno;
        static_cast<void>(calls.close(descriptor));
        errno = error;
        return -1;
    }
    image = image_file{descriptor, identity_of(status), 0, 0, 0, false};
    return 0;
}

namespace {

// Whether the drive reports less space free for the user than bytes.
// A drive that reports nothing is not taken as too small: the query may
// fail, and a FUSE file system that does not answer it reports no blocks.
bool too_small(long long bytes) {
    struct statvfs drive;
    if (calls.fstatvfs(image.descriptor, &drive) != 0 || drive.f_blocks == 0 || drive.f_frsize == 0)
        return false;
    unsigned long long available = ULLONG_MAX;
    if (drive.f_bavail <= ULLONG_MAX / drive.f_frsize)
        available = static_cast<unsigned long long>(drive.f_bavail) * drive.f_frsize;
    return static_cast<unsigned long long>(bytes) > available;
}

} // namespace

// Linux: fallocate reserves the blocks without changing the file's size,
// and refuses a size beyond the file system's largest file with EFBIG.
// Where it cannot (FUSE file systems such as ntfs-3g and exFAT answer
// EOPNOTSUPP), the drive's free space is the measure: the file was just
// created empty, so every byte of it must come from there.
int reserve_image(long long bytes) {
    if (calls.fallocate(image.descriptor, FALLOC_FL_KEEP_SIZE, 0, bytes) == 0)
        return 0;
    if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT)
        return -1;
    if (!too_small(bytes))
        return 0;
    errno = ENOSPC;
    return -1;
}

namespace {

// sync_file_range over a range: false with errno on an error of the
// drive; a file system that cannot do it is left to write back on its own.
bool sync_range(long long from, long long to, unsigned flags) {
    if (image.no_write_back)
        return true;
    if (calls.sync_file_range(image.descriptor, from, to - from, flags) == 0)
        return true;
    if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP) {
        image.no_write_back = true;
        return true;
    }
    return false;
}

// Hands what was written since the last window to the drive, and waits
// for and lets go of the window before it.
bool write_back() {
    if (image.written - image.handed_over < write_back_window)
        return true;
    if (!sync_range(image.handed_over, image.written, SYNC_FILE_RANGE_WRITE))
        return false;
    if (image.handed_over > image.settled) {
        const unsigned wait =
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
        if (!sync_range(image.settled, image.handed_over, wait))
            return false;
        // Only advice: pages that are not yet clean simply stay.
        static_cast<void>(calls.posix_fadvise(image.descriptor, image.settled,
                                              image.handed_over - image.settled,
                                              POSIX_FADV_DONTNEED));
        image.settled = image.handed_over;
    }
    image.handed_over = image.written;
    return true;
}

} // namespace

// After a write that took only part of the block, the next one tells why
// (a full drive: ENOSPC); one that writes nothing is taken as failed.
int write_image_block(const void* block, unsigned bytes) {
    const char* data = static_cast<const char*>(block);
    for (unsigned done = 0; done < bytes;) {
        ssize_t written = calls.write(image.descriptor, data + done, bytes - done);
        if (written < 0)
            return -1;
        if (written == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<unsigned>(written);
    }
    image.written += bytes;
    return write_back() ? 0 : -1;
}

int flush_image() {
    if (calls.fsync(image.descriptor) != 0)
        return -1;
    // All of it is clean now; none of it is needed in memory.
    static_cast<void>(calls.posix_fadvise(image.descriptor, 0, 0, POSIX_FADV_DONTNEED));
    return 0;
}

// Nothing to switch: the native build is the test bench, and its room
// tells after the flush (ntfs-3g compresses new files in a folder marked
// for it, and takes no request to stop).
storage prepare_image_storage() { return storage::plain; }

// Linux counts st_blocks in units of 512 bytes, whatever the file system's
// block size; a compressed or sparse file has fewer than its size.
long long image_room(const char*) {
    struct stat status;
    if (calls.fstat(image.descriptor, &status) != 0)
        return -1;
    return static_cast<long long>(status.st_blocks) * 512;
}

// The descriptor is gone whatever close reports, as on Linux.
int close_image() {
    int result = calls.close(image.descriptor);
    image.descriptor = -1;
    return result;
}

// Closed first: a FUSE file system of the high-level kind, and NFS,
// keep a file that is deleted while open under a hidden name of their
// own, or fail the deletion.
bool discard_image(const char* path) {
    if (image.descriptor >= 0)
        static_cast<void>(close_image());
    native_path file(path);
    struct stat status;
    if (look_again(file.c_str(), image.identity, &status) != 0 || calls.unlink(file.c_str()) != 0)
        // Nothing there, or another file in its place: the image is gone.
        return errno == EEXIST || means_nothing_there(errno);
    return calls.lstat(file.c_str(), &status) != 0 && means_nothing_there(errno);
}

namespace {

// The terminal's title: standard output a terminal, and a title shown.
enum class title_state { unknown, no_terminal, untouched, shown };
title_state terminal_title = title_state::unknown;

} // namespace

// xterm's escape sequences: the user's title is pushed on the title stack
// before the first is shown, and popped at the end; a terminal without
// the stack is left an empty title rather than the progress.  Nothing at
// all where standard output is a pipe or a file.
void show_window_title(const char* text) {
    if (terminal_title == title_state::unknown)
        terminal_title =
            calls.isatty(STDOUT_FILENO) == 1 ? title_state::untouched : title_state::no_terminal;
    if (terminal_title == title_state::no_terminal)
        return;
    if (terminal_title == title_state::untouched)
        print("\33[22;0t");
    terminal_title = title_state::shown;
    print("\33]0;%s\a", text);
    flush_output();
}

void restore_window_title() {
    if (terminal_title != title_state::shown)
        return;
    terminal_title = title_state::untouched;
    print("\33]0;\a\33[23;0t");
    flush_output();
}

long long milliseconds() {
    struct timespec now {};
    static_cast<void>(calls.clock_gettime(CLOCK_MONOTONIC, &now));
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A signal that the user sent on purpose and had ignored (nohup) stays
// ignored.  The writes go on after the handler (SA_RESTART): the loop
// looks at the flag after each block.
void catch_interrupts() {
    caught_signal = 0;
    struct sigaction noting {};
    noting.sa_handler = note_interrupt;
    noting.sa_flags = SA_RESTART;
    static_cast<void>(calls.sigemptyset(&noting.sa_mask));
    for (std::size_t i = 0; i < sizeof interrupt_signals / sizeof interrupt_signals[0]; i++) {
        static_cast<void>(calls.sigaction(interrupt_signals[i], nullptr, &usual_actions[i]));
        if (usual_actions[i].sa_handler != SIG_IGN)
            static_cast<void>(calls.sigaction(interrupt_signals[i], &noting, nullptr));
    }
}

bool interrupted() {
    bool caught = caught_signal != 0;
    // A signal can come right after the flag was read; release_interrupts()
    // passes such a signal on.
    calls.after_interrupt_look();
    if (!caught)
        return false;
    errno = EINTR;
    return true;
}

void release_interrupts() {
    for (std::size_t i = 0; i < sizeof interrupt_signals / sizeof interrupt_signals[0]; i++)
        static_cast<void>(calls.sigaction(interrupt_signals[i], &usual_actions[i], nullptr));
    if (caught_signal != 0)
        static_cast<void>(calls.raise(caught_signal));
}

// The shell sees the signal (status 128 + N), as if nothing had caught it.
void end_interrupted() {
    int signal_number = caught_signal;
    flush_output();
    struct sigaction usual {};
    usual.sa_handler = SIG_DFL;
    static_cast<void>(calls.sigemptyset(&usual.sa_mask));
    static_cast<void>(calls.sigaction(signal_number, &usual, nullptr));
    static_cast<void>(calls.raise(signal_number));
    // Not reached unless the signal is blocked.
    for (;;)
        calls._Exit(128 + signal_number);
}

void* allocate(std::size_t bytes) {
    void* block = nullptr;
    int error = calls.posix_memalign(&block, page_size, bytes);
    if (error != 0) {
        errno = error;
        return nullptr;
    }
    return block;
}

void release(void* block) { calls.free(block); }

} // namespace platform
