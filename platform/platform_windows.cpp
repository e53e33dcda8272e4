// Windows: the system's own calls for files, memory and the console,
// through the table in windows_calls.h, and the C runtime (msvcrt) for
// the text streams, through runtime.cpp's.  The thread's last error
// (GetLastError, SetLastError) is read and set directly: it is no call
// into the system but the place where a call leaves its reason, which a
// test build's stand-in sets as the failing call would.
#include "platform/platform.h"
#include "platform/reasons.h"
#include "platform/windows_calls.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {

#define TOLVERA_CALL_ENTRY(name) ::name,
windows_calls system_calls = {TOLVERA_WINDOWS_CALLS(TOLVERA_CALL_ENTRY)};
#undef TOLVERA_CALL_ENTRY

namespace {

const windows_calls& calls = system_calls;

// Standard output, where it is a console; a pipe or a file gets every
// byte as the program writes it.
HANDLE console_output = INVALID_HANDLE_VALUE;

// Cursor to the top left of the console window, and everything from there
// to the end of the screen buffer erased, with the console's own calls:
// what the escape sequences CUP and ED ask of a terminal, on consoles that
// do not interpret them (Windows 7 and 8, the legacy console of Windows
// 10, Wine's) as well as on those that do.
bool clear_console() {
    CONSOLE_SCREEN_BUFFER_INFO screen;
    if (!calls.GetConsoleScreenBufferInfo(console_output, &screen))
        return false;
    COORD top = {0, screen.srWindow.Top};
    DWORD cells = static_cast<DWORD>(screen.dwSize.X) *
                  static_cast<DWORD>(screen.dwSize.Y - screen.srWindow.Top);
    DWORD done = 0;
    return calls.FillConsoleOutputCharacterA(console_output, ' ', cells, top, &done) &&
           calls.FillConsoleOutputAttribute(console_output, screen.wAttributes, cells, top,
                                            &done) &&
           calls.SetConsoleCursorPosition(console_output, top);
}

// The interrupt handler is registered once, when the writing starts, and
// stays: taking it away again would need the lock under which the system
// runs the handlers, and one of them may be waiting in ours.
enum : LONG { not_writing, writing, interrupt_caught };
volatile LONG interrupt_state = not_writing;

// Ctrl+C, Ctrl+Break or the console window closed, on a thread that the
// system starts for it.  (Logoff and shutdown reach services only: an
// interactive program is ended before the system sends them, as
// Microsoft's HandlerRoutine page says.)  While the image is written, the
// process must not end before the writing thread has deleted the partial
// image: that thread ends the process itself (end_interrupted) once it
// sees the flag, at the latest when it lets go of the interrupts, and this
// one waits for that.  A closed window gets about 5 seconds from the
// system, after which it ends the process wherever the writing is: a
// block held up by a failing or full drive can take longer than that.
// Before and after the writing, the next handler, the system's, ends the
// program as usual.
//
// The system runs the handlers under a lock of its own, so a second event
// waits for the first handler, which never returns.  Should one still
// reach this handler while the first waits, it waits as well: passed on,
// it would end the process before the partial image is deleted.
BOOL WINAPI note_interrupt(DWORD event) {
    static_cast<void>(event);
    if (InterlockedCompareExchange(&interrupt_state, interrupt_caught, writing) == not_writing)
        return FALSE;
    for (;;)
        calls.Sleep(INFINITE);
}

// The error number for a system error code, as the C runtime maps the
// codes of its own calls; and where its word would mislead: EFBIG for a
// file too large, ENOSPC for a full disk by another name (a used-up disk
// quota, which the runtime calls ENOMEM), EIO for a failing device, EROFS
// for a write-protected medium, ENXIO for a drive without one, EBUSY for a
// file that another program has open, ENODEV for a device that is gone.
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
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
        return ENXIO;
    case ERROR_DEV_NOT_EXIST:
    case ERROR_FILE_INVALID:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return ENODEV;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_CRC:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
        return EIO;
    default:
        // The runtime's rule: the other codes from write-protected to
        // sharing-buffer-exceeded are all a refused access.
        if (error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED)
            return EACCES;
        return EINVAL;
    }
}

// Sets errno from the system's last error, and gives the -1 of a failed
// call.
int fail_with_last_error() {
    errno = error_number_of(GetLastError());
    return -1;
}

// The same for a call on the open image.  A drive pulled out while it is
// written fails the write at hand with ERROR_FILE_NOT_FOUND (the file
// system's STATUS_NO_SUCH_DEVICE), ERROR_DEV_NOT_EXIST or
// ERROR_DEVICE_NOT_CONNECTED, later calls on the handle with
// ERROR_FILE_INVALID; a dismounted volume answers ERROR_NOT_READY.  The
// file was there a moment ago: all of them mean that the drive is gone.
int fail_on_image_with_last_error() {
    DWORD error = GetLastError();
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NOT_READY:
        errno = ENODEV;
        break;
    default:
        errno = error_number_of(error);
        break;
    }
    return -1;
}

// Opens what is at the path itself, never what a link or junction there
// points to, a folder included.  Shared with every other program, a
// deletion included: a look must not stand in anybody's way.
HANDLE open_itself(const char* path, DWORD access) {
    return calls.CreateFileA(
        path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

file_identity identity_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return {information.dwVolumeSerialNumber,
            static_cast<unsigned long long>(information.nFileIndexHigh) << 32 |
                information.nFileIndexLow};
}

bool same_identity(const file_identity& one, const file_identity& other) {
    return one.volume == other.volume && one.file == other.file;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& information, const file_identity& identity) {
    return same_identity(identity_of(information), identity);
}

// The file that handle is open on, as the program meant it: its
// attributes and its identity, or false with errno.
bool describe(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
    if (calls.GetFileInformationByHandle(file, information))
        return true;
    static_cast<void>(fail_with_last_error());
    return false;
}

// Marks the file that handle is open on for deletion.  With POSIX
// semantics, where the system and the file system have them (Windows 10,
// NTFS), the name goes as soon as this handle is closed, even while a
// virus scanner still holds the file; otherwise the file goes, name and
// all, once the last handle on it is closed (Microsoft's
// FILE_DISPOSITION_INFORMATION_EX).  Either refuses a read-only file.
// Set on a handle, the deletion can only ever meet the file that handle
// is open on.
//
// The program runs on Windows 7 as well, whose headers lack the newer
// class: its number and flags as Microsoft documents them
// (FILE_INFO_BY_HANDLE_CLASS, FILE_DISPOSITION_INFO_EX).  An older system
// or file system refuses it with one of the errors below.
const FILE_INFO_BY_HANDLE_CLASS disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD disposition_delete = 0x1;
const DWORD disposition_posix_semantics = 0x2;

bool mark_for_deletion(HANDLE file) {
    DWORD at_once = disposition_delete | disposition_posix_semantics;
    if (calls.SetFileInformationByHandle(file, disposition_info_ex, &at_once, sizeof at_once))
        return true;
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION &&
        error != ERROR_NOT_SUPPORTED) {
        static_cast<void>(fail_with_last_error());
        return false;
    }
    FILE_DISPOSITION_INFO on_close = {TRUE};
    if (calls.SetFileInformationByHandle(file, FileDispositionInfo, &on_close, sizeof on_close))
        return true;
    static_cast<void>(fail_with_last_error());
    return false;
}

// A file that the program deleted itself may stay at its path for a
// moment, pending, where another program (a virus scanner, the search
// indexer) still holds it; until then it refuses a new file of its name
// with ERROR_ACCESS_DENIED.
bool deleted_here = false;

const DWORD page_size = 4096;

// The image, the one file the program writes, from its creation to its
// close.
struct image_file {
    HANDLE handle;          // as created: past the cache where the drive allows
    HANDLE buffered;        // the same file through the cache, once needed
    bool unbuffered;        // the blocks go past the cache
    long long offset;       // where the next write goes
    char root[4];           // "D:\", for what the drive reports
    file_identity identity; // the file it is, to delete none other
};
image_file image = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, false, 0, "", {0, 0}};

// The handle that the blocks go through.
HANDLE writer() { return image.buffered != INVALID_HANDLE_VALUE ? image.buffered : image.handle; }

// Writes past the cache must start, end and lie in memory on the
// drive's sectors.  The blocks come from whole pages, are a megabyte long
// and are written at whole megabytes, so sectors of a page or less that
// are a power of two always fit; a drive with larger sectors, or one that
// does not say, is written through the cache.
bool sectors_fit_blocks(const char* root) {
    DWORD sectors_per_cluster = 0;
    DWORD sector_size = 0;
    DWORD free_clusters = 0;
    DWORD clusters = 0;
    if (!calls.GetDiskFreeSpaceA(root, &sectors_per_cluster, &sector_size, &free_clusters,
                                 &clusters))
        return false;
    return sector_size - 1 < page_size && (sector_size & (sector_size - 1)) == 0;
}

bool on_sectors(const void* data, unsigned size, long long offset) {
    return reinterpret_cast<ULONG_PTR>(data) % page_size == 0 && size % page_size == 0 &&
           offset % page_size == 0;
}

// The image's handle: written, and deleted again should the writing fail.
HANDLE open_image_file(const char* path, DWORD disposition, bool unbuffered) {
    DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    if (unbuffered)
        flags |= FILE_FLAG_NO_BUFFERING;
    return calls.CreateFileA(path, GENERIC_WRITE | FILE_READ_DATA | FILE_READ_ATTRIBUTES | DELETE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, flags,
                             nullptr);
}

// Past the system's cache where the drive allows: a file system or
// redirector that cannot do that refuses the open with
// ERROR_INVALID_PARAMETER or ERROR_NOT_SUPPORTED; the image then goes
// through the cache.
HANDLE open_on_drive(const char* path, DWORD disposition, bool* unbuffered) {
    HANDLE file = open_image_file(path, disposition, *unbuffered);
    if (file == INVALID_HANDLE_VALUE && *unbuffered &&
        (GetLastError() == ERROR_INVALID_PARAMETER || GetLastError() == ERROR_NOT_SUPPORTED)) {
        *unbuffered = false;
        file = open_image_file(path, disposition, false);
    }
    return file;
}

// CREATE_NEW makes the creation itself refuse whatever is at the path by
// then, a link or a directory included, with ERROR_FILE_EXISTS.  Where
// the program itself deleted the file there, a refusal with
// ERROR_ACCESS_DENIED is that file still pending: it is tried again,
// with a growing pause of 25 ms more each time, for 0.7 s in all.
HANDLE create_new(const char* path, bool* unbuffered) {
    const int tries = 8;
    const DWORD first_pause = 25;
    HANDLE file = open_on_drive(path, CREATE_NEW, unbuffered);
    for (int i = 1; file == INVALID_HANDLE_VALUE && deleted_here &&
                    GetLastError() == ERROR_ACCESS_DENIED && i < tries;
         i++) {
        calls.Sleep(first_pause * static_cast<DWORD>(i));
        file = open_on_drive(path, CREATE_NEW, unbuffered);
    }
    return file;
}

// The file the user agreed to replace, still there because its deletion
// failed: opened as it is (a folder refuses an open without
// FILE_FLAG_BACKUP_SEMANTICS with ERROR_ACCESS_DENIED, and a read-only
// file an open for writing), and kept only where the handle shows the
// same plain file; then cut to nothing.  Another file at the path by now
// is for the caller to ask about (EEXIST).
HANDLE open_agreed_file(const char* path, const file_identity& agreed, bool* unbuffered,
                        BY_HANDLE_FILE_INFORMATION* information) {
    HANDLE file = open_on_drive(path, OPEN_EXISTING, unbuffered);
    if (file == INVALID_HANDLE_VALUE) {
        static_cast<void>(fail_with_last_error());
        return file;
    }
    int error = 0;
    if (!describe(file, information))
        error = errno;
    else if (!same_file(*information, agreed))
        error = EEXIST;
    else if ((information->dwFileAttributes &
              (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        error = ELOOP;
    else if (!calls.SetEndOfFile(file))
        error = error_number_of(GetLastError());
    if (error == 0)
        return file;
    static_cast<void>(calls.CloseHandle(file));
    errno = error;
    return INVALID_HANDLE_VALUE;
}

// From here on the blocks go through the cache: the file system refused
// to write past it, or what is left of a block after a short write no
// longer lies on the sectors.
bool write_through_cache() {
    // Shared for the deletion that the first handle may carry out.
    image.buffered = calls.ReOpenFile(image.handle, GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      FILE_FLAG_OPEN_REPARSE_POINT);
    if (image.buffered == INVALID_HANDLE_VALUE)
        return false;
    image.unbuffered = false;
    return true;
}

// One WriteFile at the image's own offset, which the file pointer of a
// second handle would not know.
bool write_at(const void* data, unsigned size, DWORD* written) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(image.offset);
    at.OffsetHigh = static_cast<DWORD>(image.offset >> 32);
    return calls.WriteFile(writer(), data, size, written, &at) != FALSE;
}

// FAT keeps a file's size in 32 bits: nothing of 4 GiB or more fits,
// however much room the drive has.
bool beyond_largest_fat_file(long long bytes) {
    const long long largest_fat_file = 0xFFFFFFFFLL;
    if (bytes <= largest_fat_file)
        return false;
    WCHAR file_system[MAX_PATH + 1];
    if (!calls.GetVolumeInformationByHandleW(image.handle, nullptr, 0, nullptr, nullptr, nullptr,
                                             file_system, MAX_PATH + 1))
        return false;
    return file_system[0] == L'F' && file_system[1] == L'A' && file_system[2] == L'T';
}

// Whether the drive reports less room for this user than bytes; not when
// it reports nothing.
bool too_little_room(long long bytes) {
    ULARGE_INTEGER available;
    if (!calls.GetDiskFreeSpaceExA(image.root, &available, nullptr, nullptr))
        return false;
    return available.QuadPart < static_cast<unsigned long long>(bytes);
}

} // namespace

// No system box for a drive without a medium (an empty card reader, a
// DVD drive): the creation fails with its reason, as for any other drive
// that cannot take the image.
void prepare_process() {
    static_cast<void>(calls.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
    HANDLE output = calls.GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output != INVALID_HANDLE_VALUE && calls.GetConsoleMode(output, &mode))
        console_output = output;
}

// On a console, what is written so far goes first; where the console
// cannot be cleared with its own calls, it gets the escape sequences as
// a pipe does.
void clear_screen() {
    if (console_output != INVALID_HANDLE_VALUE) {
        flush_output();
        if (clear_console())
            return;
    }
    print("\33[H\33[J");
}

// The program runs elevated, and a symbolic link or junction at the image
// path may point at any file of the system: the look, the deletion and
// the creation act on what is at the path itself.

// A link is shown as itself, with its own size; 64-bit, so that an image
// of 2 GiB or more is seen.  FILE_READ_ATTRIBUTES takes no part in
// sharing: a file that another program holds is seen all the same.
look look_at_path(const char* path, long long* bytes, file_identity* identity) {
    HANDLE file = open_itself(path, FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) {
        static_cast<void>(fail_with_last_error());
        return means_nothing_there(errno) ? look::nothing_there : look::failed;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool described = describe(file, &information);
    int error = errno;
    static_cast<void>(calls.CloseHandle(file));
    if (!described) {
        errno = error;
        return look::failed;
    }
    *bytes = static_cast<long long>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    *identity = identity_of(information);
    return look::found;
}

namespace {

// Whether the file identity names is still at path: gone where nothing
// is there or another file is, unknown where the look fails (as a file
// pending deletion makes it fail).
enum class presence { gone, there, unknown };
presence presence_at(const char* path, const file_identity& identity) {
    long long bytes = 0;
    file_identity found = {0, 0};
    switch (look_at_path(path, &bytes, &found)) {
    case look::nothing_there:
        return presence::gone;
    case look::found:
        return same_identity(found, identity) ? presence::there : presence::gone;
    case look::failed:
        break;
    }
    return presence::unknown;
}

// Clears the read-only attribute, which a deletion would refuse, as
// _chmod with write permission does; the times given as zero stay.  A
// junction or a link keeps its attributes: the attribute means something
// else there.
bool clear_read_only(HANDLE file, DWORD attributes) {
    const DWORD not_a_file = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0 || (attributes & not_a_file) != 0)
        return true;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (calls.SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic))
        return true;
    static_cast<void>(fail_with_last_error());
    return false;
}

// The agreed file, on a handle of its own: a link or junction goes as
// itself, never what it points to, and a folder not at all (as DeleteFile
// refuses one).
int delete_if_agreed(HANDLE file, const file_identity& agreed) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!describe(file, &information))
        return -1;
    if (!same_file(information, agreed)) {
        errno = EEXIST;
        return -1;
    }
    DWORD attributes = information.dwFileAttributes;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
        FILE_ATTRIBUTE_DIRECTORY) {
        errno = EACCES;
        return -1;
    }
    if (!clear_read_only(file, attributes) || !mark_for_deletion(file))
        return -1;
    deleted_here = true;
    return 0;
}

} // namespace

// Without POSIX semantics the file system carries the deletion out at the
// close, and may refuse it there without a word (a network drive, a file
// that cannot be unlinked under Wine): only a look tells that the file
// is still there.  One that is pending answers the look with
// ERROR_ACCESS_DENIED, and will go.
int delete_agreed_file(const char* path, const file_identity& agreed) {
    HANDLE file = open_itself(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE)
        return fail_with_last_error();
    int result = delete_if_agreed(file, agreed);
    int error = errno;
    static_cast<void>(calls.CloseHandle(file));
    errno = error;
    if (result != 0)
        return -1;
    if (presence_at(path, agreed) == presence::there) {
        errno = EBUSY;
        return -1;
    }
    return 0;
}

// Write-only and created only where nothing is there (as _open with
// _O_CREAT | _O_EXCL), without following a link; or the agreed file,
// still there.  The blocks go past the system's cache where the drive
// allows: the image is written once and not read, and gigabytes of it in
// the cache would push the user's own files out and leave the final
// flush waiting for all of it.  A new file's identity is read from its
// handle, for its deletion after a failure; where it cannot be, the file
// goes again at once, through that handle.
int open_image(const char* path, const file_identity* agreed) {
    image.offset = 0;
    image.buffered = INVALID_HANDLE_VALUE;
    image.root[0] = path[0];
    image.root[1] = ':';
    image.root[2] = '\\';
    image.root[3] = '\0';
    bool unbuffered = sectors_fit_blocks(image.root);
    BY_HANDLE_FILE_INFORMATION information;
    HANDLE file = create_new(path, &unbuffered);
    if (file != INVALID_HANDLE_VALUE && !describe(file, &information)) {
        int error = errno;
        static_cast<void>(mark_for_deletion(file));
        static_cast<void>(calls.CloseHandle(file));
        errno = error;
        return -1;
    }
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (agreed == nullptr || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS))
            return fail_with_last_error();
        file = open_agreed_file(path, *agreed, &unbuffered, &information);
        if (file == INVALID_HANDLE_VALUE)
            return -1;
    }
    image.handle = file;
    image.unbuffered = unbuffered;
    image.identity = identity_of(information);
    return 0;
}

namespace {

// One WriteFile, and the count it reports.  A redirector that takes the
// unbuffered open may still refuse the first write past the cache with
// ERROR_INVALID_PARAMETER; that write, and all after it, then go through
// the cache.
bool write_part(const void* data, unsigned size, DWORD* written) {
    if (image.unbuffered && !on_sectors(data, size, image.offset) && !write_through_cache())
        return false;
    if (write_at(data, size, written))
        return true;
    if (!image.unbuffered || image.offset != 0 || GetLastError() != ERROR_INVALID_PARAMETER)
        return false;
    return write_through_cache() && write_at(data, size, written);
}

} // namespace

// After a short write the next one fails with the drive's own reason (a
// full drive: ERROR_DISK_FULL).
int write_image_block(const void* block, unsigned bytes) {
    const char* data = static_cast<const char*>(block);
    for (unsigned done = 0; done < bytes;) {
        DWORD written = 0;
        if (!write_part(data + done, bytes - done, &written))
            return fail_on_image_with_last_error();
        if (written == 0) {
            errno = EIO;
            return -1;
        }
        image.offset += written;
        done += written;
    }
    return 0;
}

int close_image() {
    int result = 0;
    if (image.buffered != INVALID_HANDLE_VALUE && !calls.CloseHandle(image.buffered))
        result = fail_on_image_with_last_error();
    if (!calls.CloseHandle(image.handle))
        result = fail_on_image_with_last_error();
    image.handle = image.buffered = INVALID_HANDLE_VALUE;
    return result;
}

// The deletion is set on the image's own handle before it is closed; once
// it is closed (its close failed), on a handle opened anew that shows the
// same file.  Without POSIX semantics the file goes only once the last
// handle on it is closed, and a virus scanner that looks at the new file
// may hold one for a moment (the file then answers ERROR_ACCESS_DENIED):
// the image counts as left only when it is still there a second later.
bool discard_image(const char* path) {
    if (image.handle != INVALID_HANDLE_VALUE) {
        bool marked = mark_for_deletion(image.handle);
        static_cast<void>(close_image());
        if (!marked)
            return false;
    } else if (delete_agreed_file(path, image.identity) != 0) {
        // Nothing there, or another file in its place: the image is gone.
        return errno == EEXIST || means_nothing_there(errno);
    }
    const int looks = 10;
    const DWORD between_looks = 100;
    for (int i = 1; presence_at(path, image.identity) != presence::gone; i++) {
        if (i == looks)
            return false;
        calls.Sleep(between_looks);
    }
    return true;
}

// The allocation of the whole size.  NTFS and exFAT take it or answer
// ERROR_DISK_FULL.  The FAT driver answers an allocation of 4 GiB or more,
// beyond its largest file, with ERROR_DISK_FULL as well, which would tell
// the user that a drive with room to spare is full: that is EFBIG.  A file
// system or a system that cannot allocate ahead (ERROR_INVALID_FUNCTION,
// ERROR_NOT_SUPPORTED, ERROR_CALL_NOT_IMPLEMENTED, ...) is measured
// instead against the room the drive reports for this user, and written
// as it is where it reports none.
int reserve_image(long long bytes) {
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = bytes;
    if (calls.SetFileInformationByHandle(image.handle, FileAllocationInfo, &allocation,
                                         sizeof allocation))
        return 0;
    DWORD error = GetLastError();
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
        error == ERROR_NOT_ENOUGH_QUOTA || error == ERROR_FILE_TOO_LARGE) {
        errno = beyond_largest_fat_file(bytes) ? EFBIG : error_number_of(error);
        return -1;
    }
    if (beyond_largest_fat_file(bytes)) {
        errno = EFBIG;
        return -1;
    }
    if (too_little_room(bytes)) {
        errno = ENOSPC;
        return -1;
    }
    return 0;
}

// The file's data and its size on the drive, and the drive's own cache
// emptied: what fsync is on POSIX (_commit would do the same, but reports
// every failure as EBADF).  Past the cache each write is on the drive when
// it returns; through it, the system writes back on its own, and this
// waits for what is left.
int flush_image() { return calls.FlushFileBuffers(writer()) ? 0 : fail_on_image_with_last_error(); }

// A new file takes the compression attribute of its folder, and is
// encrypted at its creation in a folder marked to encrypt (Windows marks
// no root folder so, but another system's driver can have); an old
// encrypted file that the open cut to nothing stays encrypted.  Both show
// in the new handle's attributes.  Compression is switched off on the
// image's own handle with FSCTL_SET_COMPRESSION, for which the I/O manager
// wants read-data as well as write-data access (the code's required
// access): zeros would otherwise take no room at all.  A file system or
// layer that refuses (Wine: ERROR_NOT_SUPPORTED) leaves the image as it
// is, and its room tells after the flush; so does one that shows no
// attribute at all.  A query that fails tells nothing either way.
storage prepare_image_storage() {
    FILE_BASIC_INFO basic;
    if (!calls.GetFileInformationByHandleEx(image.handle, FileBasicInfo, &basic, sizeof basic))
        return storage::plain;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0)
        return storage::encrypted;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0) {
        USHORT none = COMPRESSION_FORMAT_NONE;
        DWORD returned = 0;
        static_cast<void>(calls.DeviceIoControl(image.handle, FSCTL_SET_COMPRESSION, &none,
                                                sizeof none, nullptr, 0, &returned, nullptr));
    }
    return storage::plain;
}

// The lesser of two measures, each for a road the other misses.
// GetCompressedFileSize is the documented measure of the disk storage that
// a compressed or sparse file uses (the file's size for any other file);
// Wine answers it with the size even where its drive stores nothing.  The
// allocation of FileStandardInfo is what the drive has allocated to the
// file; Wine takes it from the allocated blocks of its Unix file.  Where
// neither answers, the drive does not say.
long long image_room(const char* path) {
    long long held = -1;
    FILE_STANDARD_INFO standard;
    if (calls.GetFileInformationByHandleEx(image.handle, FileStandardInfo, &standard,
                                           sizeof standard))
        held = standard.AllocationSize.QuadPart;
    // By path, which still names the image: its handle, open without
    // FILE_SHARE_DELETE, lets nobody rename or delete it.
    // INVALID_FILE_SIZE is also the low half of a size: only the error
    // code tells a failure, and success need not set it.
    DWORD high = 0;
    SetLastError(NO_ERROR);
    DWORD low = calls.GetCompressedFileSizeA(path, &high);
    if (low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR) {
        long long stored = static_cast<long long>(high) << 32 | low;
        if (held < 0 || stored < held)
            held = stored;
    }
    return held;
}

namespace {

// The console window's title: the user's own, kept while the progress is
// shown.
enum class title_state { unknown, no_console, untouched, shown };
title_state console_title = title_state::unknown;
// Wide, so that a title in characters beyond the console's code page
// comes back as it was.
WCHAR user_title[1024];

} // namespace

// The user's title is read before the first progress is shown; where it
// cannot be (no console window), no title is shown.  An empty title is
// told from a failure by the error code, which the call sets only when it
// fails.
void show_window_title(const char* text) {
    if (console_title == title_state::unknown) {
        SetLastError(ERROR_SUCCESS);
        DWORD length = calls.GetConsoleTitleW(user_title, sizeof user_title / sizeof user_title[0]);
        console_title = length == 0 && GetLastError() != ERROR_SUCCESS ? title_state::no_console
                                                                       : title_state::untouched;
        if (length == 0)
            user_title[0] = '\0';
    }
    if (console_title == title_state::no_console)
        return;
    console_title = title_state::shown;
    // The progress is plain ASCII.
    WCHAR wide[128];
    std::size_t i = 0;
    for (; text[i] != '\0' && i + 1 < sizeof wide / sizeof wide[0]; i++)
        wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    wide[i] = L'\0';
    static_cast<void>(calls.SetConsoleTitleW(wide));
}

// Windows Terminal does not give the title back by itself when the
// program ends.
void restore_window_title() {
    if (console_title != title_state::shown)
        return;
    console_title = title_state::untouched;
    static_cast<void>(calls.SetConsoleTitleW(user_title));
}

long long milliseconds() { return static_cast<long long>(calls.GetTickCount64()); }

void catch_interrupts() {
    // Once per run: the image is written once.  Where the handler cannot
    // be registered, interrupts end the program as they always do.
    static_cast<void>(InterlockedExchange(&interrupt_state, writing));
    static_cast<void>(calls.SetConsoleCtrlHandler(note_interrupt, TRUE));
}

bool interrupted() {
    bool caught = interrupt_state == interrupt_caught;
    // An event can come right after the flag was read; release_interrupts()
    // ends the program for such an event.
    calls.after_interrupt_look();
    if (!caught)
        return false;
    errno = EINTR;
    return true;
}

// An interrupt that came after the last look ends the program now, as
// the handler waits for it to.  One that comes later finds the writing
// over and goes on to the system's handler.
void release_interrupts() {
    if (InterlockedExchange(&interrupt_state, not_writing) == interrupt_caught)
        end_interrupted();
}

// As the system's own handler ends a program on Ctrl+C, after the
// streams are flushed.  The waiting control handler ends with the process.
void end_interrupted() { exit_process(static_cast<int>(STATUS_CONTROL_C_EXIT)); }

// Whole pages, as writes past the cache need; the system hands them out
// zeroed, the program zeroes them once more.
void* allocate(std::size_t bytes) {
    void* block = calls.VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block == nullptr)
        static_cast<void>(fail_with_last_error());
    return block;
}

void release(void* block) { static_cast<void>(calls.VirtualFree(block, 0, MEM_RELEASE)); }

} // namespace platform
