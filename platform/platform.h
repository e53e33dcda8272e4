// The runtime calls of the program, one implementation per platform.
//
// Dialogue and image code call only these; the build picks
// platform_windows.cpp (the C runtime of Windows) or platform_posix.cpp
// (POSIX, where drive X: is the directory /mnt/x).  Each call mirrors one
// runtime function and reports failure the way that function does: a
// negative result or a null pointer, with the reason in errno.
#pragma once

#include <cstddef>

namespace platform {

// Console.  Standard output and input are the platform's text streams.

// Called once at start, before anything is written: the console's mode,
// and on Windows no system message boxes for drives without a medium.
void prepare_process();
// printf to standard output.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void flush_output();
// fgets from standard input: null at end of input or on a read error.
char* read_line(char* buffer, int size);
// As perror: text, ": " and the reason for errno, on standard error; the
// reason in German, as every other text of the program.
void report_failure(const char* text);
// Tells the user, on standard error, that the incomplete image at path
// could not be deleted.
void report_image_left(const char* path);
// exit: flushes the streams and runs the exit handlers.
[[noreturn]] void exit_process(int status);
int error_number();

// Files, by path (a drive path such as "D:\TOLVERA.IMG") or descriptor.
// The image may be larger than 2 GiB, so sizes are 64-bit.

// What a look at the path found.  Only a missing file or folder, a missing
// drive or a drive without a medium count as nothing there; any other
// failure of the look leaves it unknown whether an image is there, with
// the reason in errno.
enum class look { nothing_there, found, failed };
// _stat: the size in bytes of what is at the path, when found.
look look_at_path(const char* path, long long* size);
// _chmod to read and write: clears the read-only state of a file, and
// leaves anything else at the path (a folder, a link) as it is.
int make_writable(const char* path);
// _unlink
int delete_file(const char* path);
// _open write-only, created if absent, truncated: a descriptor or -1.
int create_file(const char* path);
// _write: the number of bytes written, which may be fewer than asked (the
// next write then tells why), or -1.
long write_file(int descriptor, const void* data, unsigned size);
// _close
int close_file(int descriptor);

// The image on the drive.

// Reserves size bytes for the open file, just created and still empty,
// before it is written, so that a drive too small, or a file too large for
// its file system, shows before the first block: fallocate, on Windows the
// file's allocation.  Where the file system cannot reserve, the size is
// measured against the space the drive reports free for the user instead
// (fstatvfs; on Windows GetDiskFreeSpaceExA on the drive's root), and where
// the drive reports nothing either, the writes will tell.  -1 only when the
// image cannot fit (errno ENOSPC, EFBIG or EDQUOT); 0 otherwise.
int reserve_space(int descriptor, long long size);
// Told after each block how many bytes are written: hands them to the
// drive while the next are written and lets go of the cache of what is
// already there, so the final flush has little left and the image does not
// crowd the user's data out of memory.  -1 on an error of the drive.
int write_back(int descriptor, long long written);
// fsync, FlushFileBuffers: 0 once everything written is on the drive.
int flush_file(int descriptor);

// Interrupts: Ctrl+C, Ctrl+Break, SIGTERM, a closed terminal or console
// window.  Between catch_interrupts() and release_interrupts() one only
// raises a flag, which interrupted() shows, so that the writing can stop
// after a block and clean up; before and after, they end the program as
// usual.
void catch_interrupts();
bool interrupted();
// Lets an interrupt that is still to come, or that came after the last
// look at interrupted(), take its usual course again.
void release_interrupts();
// Ends the process the way an interrupted process ends on the platform,
// without the exit prompt: by the signal itself, or STATUS_CONTROL_C_EXIT.
[[noreturn]] void end_interrupted();

// Memory.  Blocks start on a page: the system copies written data out of a
// page-aligned buffer faster (7% on 1 GiB of writes, measured against an
// ordinary malloc), and Windows writes past its cache only from whole
// sectors.
void* allocate(std::size_t size);
void release(void* block);

} // namespace platform
