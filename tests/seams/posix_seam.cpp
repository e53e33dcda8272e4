// The fault seam of the native test build: a stand-in in front of every
// entry of the table of system calls (platform/posix_calls.h), put there
// before main() runs.  What each does on a planned use (see fault_plan.h):
//
//   a number N       fail with errno N, without making the call; close
//                    makes it first (the descriptor is gone) and then
//                    reports the failure
//   short            write: only half the bytes
//   zero             write: nothing written, and no error
//   sigN             signal N arrives as the call starts
//   reportB/N/A      fstatvfs: blocks of B bytes, N in all, A of them
//                    free for the user
//   blocked          raise: the signal does not end the process
//   other            lstat, fstat: another file than the one meant (another
//                    inode)
//   blocksN          lstat, fstat: N blocks of 512 bytes allocated to the
//                    file
//
// posix_memalign and posix_fadvise give the error number as their result,
// as they do.  umask, free, raise, _Exit and after_interrupt_look never
// fail.  The C runtime's streams have their stand-ins in runtime_seam.cpp.
#include "fault_plan.h"

#include "platform/posix_calls.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

platform::posix_calls real;

void deliver(const char* how) { static_cast<void>(real.raise(std::atoi(how + 3))); }

} // namespace

const char* seam::consult_runtime(const char* call) { return seam::consult(call, deliver); }

namespace {

// What is planned for this use of the call: a failure with its errno set
// (true), or an answer in how.
bool fails(const char* call, const char** how = nullptr) {
    const char* what = seam::consult(call, deliver);
    if (how != nullptr)
        *how = what;
    if (!seam::is_number(what))
        return false;
    errno = std::atoi(what);
    return true;
}

// The answers of a status that was read: "other", "blocksN".
int answer_status(int result, const char* how, struct stat* status) {
    if (result != 0 || how == nullptr)
        return result;
    if (std::strcmp(how, "other") == 0)
        status->st_ino++;
    if (std::strncmp(how, "blocks", 6) == 0)
        status->st_blocks = static_cast<blkcnt_t>(std::strtoll(how + 6, nullptr, 10));
    return result;
}

int seam_lstat(const char* path, struct stat* status) noexcept {
    const char* how = nullptr;
    return fails("lstat", &how) ? -1 : answer_status(real.lstat(path, status), how, status);
}

mode_t seam_umask(mode_t mask) noexcept {
    static_cast<void>(fails("umask"));
    return real.umask(mask);
}

int seam_fchmodat(int directory, const char* path, mode_t mode, int flags) noexcept {
    return fails("fchmodat") ? -1 : real.fchmodat(directory, path, mode, flags);
}

int seam_unlink(const char* path) noexcept { return fails("unlink") ? -1 : real.unlink(path); }

int seam_open(const char* path, int flags, ...) noexcept {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    return fails("open") ? -1 : real.open(path, flags, mode);
}

int seam_fstat(int descriptor, struct stat* status) noexcept {
    const char* how = nullptr;
    return fails("fstat", &how) ? -1 : answer_status(real.fstat(descriptor, status), how, status);
}

int seam_ftruncate(int descriptor, off_t length) noexcept {
    return fails("ftruncate") ? -1 : real.ftruncate(descriptor, length);
}

int seam_fchmod(int descriptor, mode_t mode) noexcept {
    return fails("fchmod") ? -1 : real.fchmod(descriptor, mode);
}

int seam_fallocate(int descriptor, int mode, off_t offset, off_t length) noexcept {
    return fails("fallocate") ? -1 : real.fallocate(descriptor, mode, offset, length);
}

int seam_fstatvfs(int descriptor, struct statvfs* drive) noexcept {
    const char* how = nullptr;
    if (fails("fstatvfs", &how))
        return -1;
    unsigned long long block_size = 0;
    unsigned long long blocks = 0;
    unsigned long long available = 0;
    int length = 0;
    if (how == nullptr)
        return real.fstatvfs(descriptor, drive);
    if (std::sscanf(how, "report%llu/%llu/%llu%n", &block_size, &blocks, &available, &length) !=
            3 ||
        how[length] != '\0') {
        std::fprintf(stderr, "TOLVERA_FAULT: cannot read the report '%s'\n", how);
        std::abort();
    }
    *drive = {};
    drive->f_frsize = block_size;
    drive->f_blocks = blocks;
    drive->f_bavail = available;
    return 0;
}

ssize_t seam_write(int descriptor, const void* data, size_t size) noexcept {
    const char* how = nullptr;
    if (fails("write", &how))
        return -1;
    if (how != nullptr && std::strcmp(how, "short") == 0)
        size /= 2;
    if (how != nullptr && std::strcmp(how, "zero") == 0)
        return 0;
    return real.write(descriptor, data, size);
}

int seam_sync_file_range(int descriptor, off64_t offset, off64_t length, unsigned flags) noexcept {
    return fails("sync_file_range") ? -1 : real.sync_file_range(descriptor, offset, length, flags);
}

int seam_posix_fadvise(int descriptor, off_t offset, off_t length, int advice) noexcept {
    return fails("posix_fadvise") ? errno : real.posix_fadvise(descriptor, offset, length, advice);
}

int seam_fsync(int descriptor) noexcept { return fails("fsync") ? -1 : real.fsync(descriptor); }

// The descriptor is gone whatever close reports, as on Linux.
int seam_close(int descriptor) noexcept {
    bool failing = fails("close");
    int saved = errno;
    int result = real.close(descriptor);
    if (failing)
        errno = saved;
    return failing ? -1 : result;
}

int seam_isatty(int descriptor) noexcept { return fails("isatty") ? 0 : real.isatty(descriptor); }

int seam_clock_gettime(clockid_t clock, struct timespec* now) noexcept {
    return fails("clock_gettime") ? -1 : real.clock_gettime(clock, now);
}

int seam_sigemptyset(sigset_t* set) noexcept {
    return fails("sigemptyset") ? -1 : real.sigemptyset(set);
}

int seam_sigaction(int number, const struct sigaction* action, struct sigaction* old) noexcept {
    return fails("sigaction") ? -1 : real.sigaction(number, action, old);
}

// "blocked": the signal is raised but does not end the process, as where
// it is blocked.
int seam_raise(int number) noexcept {
    const char* how = nullptr;
    static_cast<void>(fails("raise", &how));
    if (how != nullptr && std::strcmp(how, "blocked") == 0)
        return 0;
    return real.raise(number);
}

int seam_posix_memalign(void** block, size_t alignment, size_t size) noexcept {
    return fails("posix_memalign") ? errno : real.posix_memalign(block, alignment, size);
}

// The table's type says that it does not return, where the compiler
// counts that as part of it.
__attribute__((noreturn)) void seam__Exit(int status) noexcept {
    static_cast<void>(fails("_Exit"));
    real._Exit(status);
    __builtin_unreachable();
}

void seam_free(void* block) noexcept {
    static_cast<void>(fails("free"));
    real.free(block);
}

void seam_after_interrupt_look() noexcept { static_cast<void>(fails("after_interrupt_look")); }

struct seam_installer {
    seam_installer() {
        static const char* const names[] = {
#define TOLVERA_CALL_NAME(name) #name,
            TOLVERA_POSIX_CALLS(TOLVERA_CALL_NAME)
#undef TOLVERA_CALL_NAME
        };
        seam::add_calls(names, static_cast<int>(sizeof names / sizeof names[0]));
        real = platform::system_calls;
#define TOLVERA_CALL_STAND_IN(name) platform::system_calls.name = seam_##name;
        TOLVERA_POSIX_CALLS(TOLVERA_CALL_STAND_IN)
#undef TOLVERA_CALL_STAND_IN
    }
};
seam_installer installed;

} // namespace
