// What the program asks of the system, named after what it does with it.
//
// The dialogue and the image code call only these.  The build picks one
// implementation: platform_windows.cpp, the Windows program (its own calls
// for files, memory and the console, and the C runtime's text streams),
// or platform_posix.cpp, the native build, where drive X: is the
// directory /mnt/x as under WSL.  A failure is told as the C runtime
// tells its own: -1 (or false, a null pointer) with the reason in errno.
#pragma once

#include <cstddef>

namespace platform {

// The program counts the image's size in megabytes of this many bytes;
// every size that the platform takes or gives is in bytes.
const unsigned bytes_per_megabyte = 1048576;

// The process and its console.  Standard output and input are the
// platform's text streams.

// Called once at start, before anything is written: on Windows whether
// standard output is a console, and no system message boxes for drives
// without a medium; natively, output that nobody reads any more (a pipe
// whose reader has gone) fails its writes instead of killing the program,
// as on Windows, so that a partial image is still deleted.
void prepare_process();
// Cursor home and the screen erased to its end: the escape sequences CUP
// and ED ("\33[H\33[J"), written as they are to a terminal, a pipe or a
// file; on a Windows console with the console's own calls, which every
// console acts on.
void clear_screen();
// printf to standard output.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void flush_output();
// fgets from standard input into buffer of size characters: null at the
// end of the input before the line's first character, and on a read
// error, also one after part of the line was read (the C standard's
// fgets).
char* read_line(char* buffer, int size);
// As perror: text, ": " and the reason for the error number, on standard
// error; the reason in German, as every other text of the program.  The
// caller takes the error number at the failure itself: whatever runs in
// between, writing to the terminal above all, may change errno.
void report_failure(const char* text, int error);
// Tells the user, on standard error, that the incomplete image at path
// could not be deleted.
void report_image_left(const char* path);
// Tells the user, on standard error, that the image at path is complete
// but holds only held of its bytes on the drive (a drive that compresses
// it), what that means for TOLVERA and how to make the drive hold it.
void report_room_not_held(const char* path, long long held, long long bytes);
// Tells the user, on standard error, that the drive encrypts the image at
// path, which TOLVERA then cannot read, and how to switch that off.
void report_image_encrypted(const char* path);
// exit: flushes the streams and runs the exit handlers.
[[noreturn]] void exit_process(int status);
int error_number();

// What is at the image path, a drive path such as "D:\TOLVERA.IMG".  A
// symbolic link or junction there is never followed: it is looked at and
// deleted as itself.  Sizes are 64-bit: an old image may be larger than
// 2 GiB.

// One file on its drive, whatever its name: natively its device and
// inode, on Windows its volume's serial number and its file index.  The
// user's 'j' is for the file that the question showed, and for nothing
// that takes its place later (another stick at the same letter, a file
// made meanwhile): every call that may destroy a file it did not make
// takes that file's identity and leaves anything else alone.
struct file_identity {
    unsigned long long volume;
    unsigned long long file;
};

// What a look at the path found.  Only a missing file or folder, a missing
// drive or a drive without a medium count as nothing there; any other
// failure of the look leaves it unknown whether an image is there, with
// the reason in errno.
enum class look { nothing_there, found, failed };
// The size and the identity of what is at the path, when found.
look look_at_path(const char* path, long long* bytes, file_identity* identity);
// Deletes the file at path that the user agreed to replace, where it is
// still that file; anything else there by now stays as it is (EEXIST).  A
// read-only file is made writable first (natively read and write as far
// as the user's umask allows, on Windows without its read-only
// attribute); a folder, a device or a link keeps its mode, and a folder
// is never deleted.
int delete_agreed_file(const char* path, const file_identity& agreed);

// The new image.  The platform keeps it open from open_image() until
// close_image() or discard_image(); there is one at a time.

// Creates the image at path for writing, never through a link: only
// where nothing is at the path at the moment of the creation itself.
// Anything there by then (a drive plugged in since the look, a file made
// meanwhile, a link, a folder) fails the open with EEXIST and stays as it
// is.  The one exception is agreed, where given: the file that the user
// agreed to replace, still there because its deletion failed.  It is
// opened without creating, used only while it is that same file and a
// plain one (natively ELOOP for a link, EISDIR for a folder, and
// not_a_plain_file for a device or FIFO, which is never waited on or
// written; on Windows ELOOP for a link and EACCES for a folder), then
// made writable and cut to nothing; where another file has taken its
// place, EEXIST.  On Windows a file that the program deleted itself and that
// another program still holds (a virus scanner) refuses the creation for
// a moment: it is tried again for 0.7 s.  On Windows the blocks
// go past the system's cache where the drive allows it.
int open_image(const char* path, const file_identity* agreed);
// Reserves bytes for the image, still empty, so that a drive too
// small or a file too large for its file system shows before the first
// block (fallocate; on Windows the file's allocation).  Where the file
// system cannot reserve, the size is measured against the space the drive
// reports free for the user, and where it reports nothing the writes will
// tell.  -1 only when the image cannot fit: ENOSPC, EFBIG or EDQUOT.
int reserve_image(long long bytes);
// Writes the whole block of so many bytes at the image's end, going on
// after a write that took only part of it.  Natively the blocks go on to
// the drive while the next are written, and out of the page cache once
// they are there, so the image does not crowd the user's data out of
// memory.
int write_image_block(const void* block, unsigned bytes);
// Everything written, and the file's size, on the drive (fsync,
// FlushFileBuffers).
int flush_image();

// What the drive does with the new image's data, as it shows right after
// the creation.
enum class storage {
    plain,
    // Encrypted for the user who made it (Windows' EFS: a folder marked to
    // encrypt its new files, or an old encrypted file cut to nothing):
    // unreadable for TOLVERA.
    encrypted,
};
// Right after the creation, while the image is still empty.  On Windows,
// where the drive made the image compressed (its folder marked to compress
// new files), compression is switched off for the image, so that every
// block takes its room; where that cannot be done, image_room() tells
// after the flush.  Natively nothing is switched and nothing encrypted.
storage prepare_image_storage();
// After the flush: the bytes of the drive that the image at path holds, as
// its file system counts them (a compressed or sparse file holds less than
// its size); -1 where the drive does not say.
long long image_room(const char* path);
// Closes the image; it counts as closed whatever the close reports.
int close_image();
// Deletes the image as the very file that open_image() made or cut (on
// Windows through its own handle, before that is closed; natively, once
// closed, where a look shows it still at path), and looks whether it is
// gone: true only then, or where another file has taken its place, which
// is left alone.  A deletion can report success and still leave the
// file, where the file system carries it out only once the last handle
// on it is closed.
bool discard_image(const char* path);

// The window's title, which shows how far the writing is while the screen
// stays as it is.  On Windows it is the title of the console window the
// program runs in, whether or not standard output goes there, and none
// where the process has no console.  Natively it is the terminal's, set
// with xterm's escape sequences on standard output, and only where
// standard output is a terminal.  A title that cannot be shown or given
// back never stops the writing.

// Shows text as the title; the first time, the user's own title is kept.
void show_window_title(const char* text);
// Gives the user's own title back, an empty one included; nothing where
// no title was shown.  The caller gives it back before it lets go of the
// interrupts or ends the process: the platform does not.
void restore_window_title();
// Milliseconds on a clock that only goes forward, for the time left.
long long milliseconds();

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

// Memory.  Blocks start on a page: the system copies written data out of
// a page-aligned buffer faster, and Windows writes past its cache only
// from whole sectors.
void* allocate(std::size_t bytes);
void release(void* block);

} // namespace platform
