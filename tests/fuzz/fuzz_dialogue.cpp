// Fuzz target: arbitrary bytes typed into the whole program.
//
// The platform layer is replaced by a simulated machine: the keyboard is
// the fuzz input, the drive holds at most one file, the disk has a
// capacity, and one chosen runtime call may fail.  The process exit is a
// longjmp back here.  After every run the invariants of the program are
// checked; a violation aborts with a message.
//
// The world also changes while the program runs: at a chosen use of a
// chosen call a file appears at the image path (a drive plugged in, a
// file made), the one there goes away, or the drive does.  Every file has
// an identity of its own; a yes is recorded with the identity of the
// file that the question showed, and only a file with such an identity
// may be deleted or overwritten.
//
// Input: byte 0 sets up the drive (an old image or not, its size, the
// disk's capacity, whether its file system can reserve space, and if not,
// whether it tells its free space), bytes 1 and
// 2 choose a failing call and its use (an interrupt counts as a call that
// "fails" when the program looks for one), the high bits of byte 2 what
// the drive does with a new file (compresses it so that it holds none of
// its room, or encrypts it) and whether it tells the room a file holds,
// bytes 3 and 4 the change of the world, its call and its use; the rest
// is the keyboard.
#include "image/image.h"
#include "platform/platform.h"

#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const long long megabyte = 1048576;
const char prompt[] = "\n\rEingabetaste zum Beenden.";
const int error_of_injected_failure = 5;
const int error_of_full_disk = 28;

enum class call {
    none,
    allocate,
    query,
    identify, // the look before a deletion, whether the file is the agreed one
    unlink,
    open,
    write,
    close,
    read,
    print,
    flush,
    reserve,
    writeback,
    fsync,
    interrupt,
    freespace,
    late_interrupt // an interrupt after the last look, as they are let go
};
const int call_count = static_cast<int>(call::late_interrupt) + 1;

enum class change { none, file_appears, file_goes, drive_goes };
const int change_count = static_cast<int>(change::drive_goes) + 1;
const int error_of_existing_file = EEXIST;
const int error_of_missing_file = ENOENT;

struct machine {
    // Keyboard.
    const std::uint8_t* keys;
    std::size_t keys_left;

    // The drive.
    bool file_there;
    bool file_is_old_image;
    bool had_old_image; // an old image was on the drive at the start
    long long file_size;
    long long capacity;
    bool reserves;      // the file system can reserve space ahead
    bool reports_space; // where it cannot, it tells the space free
    bool drive_gone;
    bool taken_by_world;              // a file that the program did not make went away
    bool compresses;                  // new files hold none of their room
    bool encrypts;                    // new files are encrypted
    bool tells_room;                  // the drive says how much room a file holds
    unsigned long long file_identity; // of the file there, when there is one
    unsigned long long identities;    // given so far

    // The identity of the file that the last look found, and those the
    // user said yes to, as the question showed them.
    unsigned long long looked_at;
    unsigned long long agreed[8];
    int agreed_count;

    // What the program has done.
    bool replacement_asked;
    bool replacement_agreed; // to some file, at some question
    bool creating_shown;
    bool finished_shown;
    bool prompt_shown;
    int reads_after_prompt;
    bool within_line; // the last read stopped before the line's end
    int blocks_held;
    bool image_open;
    bool image_deletion_failed;
    bool image_left_told;
    bool title_shown; // the window's title shows the progress
    long long clock;  // milliseconds, a quarter second on at every look
    bool allocation_failed;
    bool reservation_refused;
    bool flushed;                      // everything written is on the drive
    bool interrupts_caught;            // between catch_interrupts and release_interrupts
    bool interrupt_arrived;            // and interrupted() said so
    bool ended_interrupted;            // through end_interrupted, not the prompt
    bool image_made;                   // the program created its image
    unsigned long long image_identity; // of the file it created or cut
    bool storage_prepared;             // the drive's ways with the new image looked at
    bool encrypted_told;
    bool room_told;       // the image does not hold its room, said the program
    long long room_given; // what image_room() answered
    int error;            // errno as the program would read it now
    int reason;           // the error of the last call that failed
    int status;

    // The one failure.
    call failing;
    int failing_use;
    int uses[call_count];

    // The one change of the world.
    change world;
    call world_call;
    int world_use;
};

machine m;
std::jmp_buf process_end;

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds)
        violated(what);
}

// The old image's sizes: the one set up, or one that appears later.
const long long old_sizes[] = {0, megabyte - 1, 100 * megabyte, 5 * 1024 * megabyte};

void change_world() {
    switch (m.world) {
    case change::none:
        break;
    case change::file_appears:
        if (m.file_there || m.drive_gone)
            break;
        m.file_there = m.file_is_old_image = m.had_old_image = true;
        m.file_size = old_sizes[m.world_use % 4];
        m.file_identity = ++m.identities;
        break;
    case change::file_goes:
        // Only a file that the program did not make: its image is its own.
        if (!m.file_there || !m.file_is_old_image)
            break;
        m.taken_by_world = m.file_is_old_image;
        m.file_there = m.file_is_old_image = false;
        break;
    case change::drive_goes:
        m.taken_by_world = m.file_there && m.file_is_old_image;
        m.drive_gone = true;
        m.file_there = m.file_is_old_image = false;
        break;
    }
}

bool fails(call which) {
    int use = ++m.uses[static_cast<int>(which)];
    if (which == m.world_call && use == m.world_use)
        change_world();
    if (use != m.failing_use || which != m.failing)
        return false;
    m.error = m.reason = which == call::allocate ? 12 : error_of_injected_failure;
    return true;
}

void fail_with(int error) { m.error = m.reason = error; }

// Whether the user said yes to the file with this identity.
bool agreed_to(unsigned long long identity) {
    for (int i = 0; i < m.agreed_count; i++)
        if (m.agreed[i] == identity)
            return true;
    return false;
}

// A file that the program did not make is deleted or cut: only the one
// the user agreed to.
void check_consent(const char* what) {
    if (m.file_there && m.file_is_old_image)
        check(agreed_to(m.file_identity), what);
}

bool is_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether a replacement answer agrees: its first character that is not
// white space is j or y, in either case.
bool agrees(const char* line) {
    while (*line != '\0' && is_white_space(*line))
        line++;
    return *line == 'j' || *line == 'J' || *line == 'y' || *line == 'Y';
}

void start(const std::uint8_t* data, std::size_t size) {
    m = machine{};
    std::uint8_t drive = size > 0 ? data[0] : 0;
    m.file_there = m.file_is_old_image = m.had_old_image = (drive & 1) != 0;
    m.file_size = old_sizes[(drive >> 1) & 3];
    m.file_identity = m.file_there ? ++m.identities : 0;
    const long long capacities[] = {150 * megabyte + megabyte / 2, 400 * megabyte, 1024 * megabyte,
                                    100 * megabyte};
    m.capacity = capacities[(drive >> 3) & 3];
    m.reserves = (drive & 0x20) != 0;
    m.reports_space = (drive & 0x40) != 0;
    m.failing = size > 1 ? static_cast<call>(data[1] % call_count) : call::none;
    m.failing_use = size > 2 ? data[2] % 8 + 1 : 1;
    std::uint8_t ways = size > 2 ? data[2] : 0;
    m.tells_room = (ways & 0x20) == 0;
    m.compresses = (ways >> 6) == 2;
    m.encrypts = (ways >> 6) == 3;
    m.world = size > 3 ? static_cast<change>(data[3] % change_count) : change::none;
    m.world_call = size > 3 ? static_cast<call>(data[3] / change_count % call_count) : call::none;
    m.world_use = size > 4 ? data[4] % 8 + 1 : 1;
    m.keys = data + (size > 5 ? 5 : size);
    m.keys_left = size > 5 ? size - 5 : 0;
}

void check_end() {
    if (m.ended_interrupted) {
        check(!m.prompt_shown && !m.finished_shown, "interrupted, but the run went on");
    } else {
        check(m.prompt_shown, "the run ended without the exit prompt");
        check(m.status == 0 || m.status == -1 || (m.allocation_failed && m.status == 12),
              "an exit status other than 0, -1 or the error of a failed allocation");
    }
    check(m.reads_after_prompt <= 1, "the exit prompt read more than one line");
    check(!m.title_shown, "the progress left in the window's title");
    check(m.blocks_held == 0, "the block was not freed");
    // Ended by an interrupt once the image is on the drive: the system
    // closes it.
    check(!m.image_open || (m.ended_interrupted && m.flushed), "the image was not closed");
    check(m.image_made || !m.creating_shown, "writing shown, but no image made");
    if (m.finished_shown) {
        check(m.status == 0, "finished, but not with status 0");
        check(!m.encrypts, "finished with an image that TOLVERA cannot read");
        check(!m.compresses || !m.tells_room, "finished with an image that holds no room");
        check(m.flushed, "finished, but the image was not flushed to the drive");
        // A drive taken away after the flush takes the image with it.
        check((m.file_there && !m.file_is_old_image) || m.drive_gone, "finished, but no image");
        check(m.file_size % megabyte == 0 && m.file_size >= 100 * megabyte,
              "finished with an image that is not 100 MB or more in whole megabytes");
    }
    // Unless the deletion of it failed as well.
    // A file that appeared after the image was deleted is not the image;
    // an image on the drive before an interrupt ended the run is no
    // partial one.
    if (m.image_made && !m.finished_shown && !(m.flushed && m.ended_interrupted) && !m.room_told)
        check(!m.file_there || m.file_is_old_image || m.image_deletion_failed,
              "a partial image was left behind");
    // Also when the look at it failed: an image that cannot be looked at
    // is not taken for absent.
    if (m.had_old_image && !m.replacement_agreed && !m.taken_by_world)
        check(m.file_there && m.file_is_old_image, "the old image was lost without a yes");
    if (m.image_left_told)
        check(m.image_made && (m.image_deletion_failed || m.file_there),
              "a left image told of wrongly");
    if (m.image_made && !m.finished_shown && m.image_deletion_failed && !m.room_told)
        check(m.image_left_told, "a partial image left untold");
    if (m.encrypts && m.image_made && !m.ended_interrupted)
        check(m.encrypted_told && m.status == -1, "an encrypted image not told of");
    if (m.room_told) {
        check(m.compresses && m.tells_room && m.flushed && !m.image_open,
              "an image's room told of wrongly");
        check(m.status == -1 && !m.finished_shown, "a room not held, and yet the run succeeded");
        check(m.file_there && !m.file_is_old_image && m.file_size >= 100 * megabyte,
              "an image whose room is not held is not kept complete");
    }
}

} // namespace

namespace platform {

void prepare_process() {}

void print(const char* format, ...) {
    check(!m.prompt_shown, "output after the exit prompt");
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    check(length >= 0 && static_cast<std::size_t>(length) < sizeof text, "a text too long");
    if (std::strstr(text, "existiert bereits") != nullptr)
        m.replacement_asked = true;
    if (std::strncmp(text, "\n\rLege ", 7) == 0)
        m.creating_shown = true;
    if (std::strncmp(text, "Fertig!", 7) == 0)
        m.finished_shown = true;
    // A write to the terminal may change errno.
    m.error = 25;
    if (std::strcmp(text, prompt) == 0) {
        check(!m.interrupts_caught, "the exit prompt waits while interrupts only raise a flag");
        m.prompt_shown = true;
    }
    static_cast<void>(fails(call::print));
}

void show_window_title(const char* text) {
    check(m.interrupts_caught && m.image_open, "progress shown outside the writing");
    check(std::strncmp(text, "TOLVERA.IMG: ", 13) == 0, "a title that is no progress");
    m.title_shown = true;
}

void restore_window_title() {
    m.title_shown = false;
    m.error = 25;
}

long long milliseconds() { return m.clock += 250; }

void clear_screen() { print("\33[H\33[J"); }

void flush_output() { static_cast<void>(fails(call::flush)); }

// As fgets does it: up to size - 1 bytes, the line feed included.
char* read_line(char* buffer, int size) {
    // Lines, not reads: the rest of a long line is read on.
    if (m.prompt_shown && !m.within_line)
        m.reads_after_prompt++;
    if (fails(call::read) || m.keys_left == 0)
        return nullptr;
    int n = 0;
    while (n < size - 1 && m.keys_left > 0) {
        char c = static_cast<char>(*m.keys++);
        m.keys_left--;
        buffer[n++] = c;
        if (c == '\n')
            break;
    }
    buffer[n] = '\0';
    m.within_line = n > 0 && buffer[n - 1] != '\n';
    if (m.replacement_asked && !m.prompt_shown) {
        if (agrees(buffer) && m.agreed_count < 8) {
            m.replacement_agreed = true;
            m.agreed[m.agreed_count++] = m.looked_at;
        }
        m.replacement_asked = false;
    }
    return buffer;
}

void report_failure(const char*, int error) {
    check(error == m.reason, "a failure reported with another reason than its own");
}

void report_image_left(const char*) { m.image_left_told = true; }

void report_room_not_held(const char*, long long held, long long bytes) {
    check(held == m.room_given && bytes == m.file_size, "the room told is not the room measured");
    m.room_told = true;
}

void report_image_encrypted(const char*) {
    check(m.encrypts && m.storage_prepared, "an encryption told of that the drive did not do");
    m.encrypted_told = true;
}

void exit_process(int status) {
    m.status = status;
    std::longjmp(process_end, 1);
}

int error_number() { return m.error; }

look look_at_path(const char*, long long* size, file_identity* identity) {
    if (fails(call::query)) {
        // After the image was made, a look that fails leaves it unknown
        // whether it is gone.
        m.image_deletion_failed = m.image_made;
        return look::failed;
    }
    if (m.drive_gone || !m.file_there)
        return look::nothing_there;
    *size = m.file_size;
    *identity = {1, m.file_identity};
    m.looked_at = m.file_identity;
    return look::found;
}

// Only the agreed file, where it is still there; a failed look at it
// deletes nothing.
int delete_agreed_file(const char*, const file_identity& agreed) {
    if (fails(call::identify))
        return -1;
    if (m.drive_gone || !m.file_there) {
        fail_with(error_of_missing_file);
        return -1;
    }
    if (m.file_identity != agreed.file) {
        fail_with(error_of_existing_file);
        return -1;
    }
    if (fails(call::unlink))
        return -1;
    check_consent("a file was deleted that the user did not agree to");
    m.file_there = false;
    m.file_is_old_image = false;
    return 0;
}

// Exclusive, but for the agreed file, still there, which is cut.
int open_image(const char*, const file_identity* agreed) {
    if (fails(call::open))
        return -1;
    if (m.drive_gone) {
        fail_with(error_of_missing_file);
        return -1;
    }
    if (m.file_there && (agreed == nullptr || agreed->file != m.file_identity)) {
        fail_with(error_of_existing_file);
        return -1;
    }
    check_consent("a file was overwritten that the user did not agree to");
    check(!m.image_open, "the image was opened twice");
    if (!m.file_there)
        m.file_identity = ++m.identities;
    m.file_there = true;
    m.file_is_old_image = false;
    m.file_size = 0;
    m.image_open = true;
    m.image_made = true;
    m.image_identity = m.file_identity;
    return 0;
}

storage prepare_image_storage() {
    check(m.image_open && m.file_size == 0 && !m.storage_prepared && !m.interrupts_caught,
          "the drive's ways looked at other than once, on the new, empty image");
    m.storage_prepared = true;
    return m.encrypts ? storage::encrypted : storage::plain;
}

long long image_room(const char*) {
    check(m.image_open && m.flushed, "the room measured before the flush");
    if (!m.tells_room)
        m.room_given = -1;
    else
        m.room_given = m.compresses ? 4096 : m.file_size;
    return m.room_given;
}

// The drive takes what room is left of the block; the next write then
// finds it full.
int write_image_block(const void* block, unsigned size) {
    check(m.image_open, "a write to no open image");
    check(m.storage_prepared && !m.encrypts, "a block written to an image not prepared for it");
    check(!m.flushed, "a write after the flush");
    check(size == megabyte, "a block that is not a megabyte");
    const char* bytes = static_cast<const char*>(block);
    for (unsigned i = 0; i < size; i += 4096)
        check(bytes[i] == 0 && bytes[i + 4095] == 0, "bytes other than zero written");
    check(!m.reservation_refused, "a write after the reservation was refused");
    if (fails(call::write))
        return -1;
    if (m.drive_gone) {
        fail_with(error_of_injected_failure);
        return -1;
    }
    long long room = m.capacity - m.file_size;
    if (room < size) {
        m.file_size += room > 0 ? room : 0;
        fail_with(error_of_full_disk);
        return -1;
    }
    m.file_size += size;
    return fails(call::writeback) ? -1 : 0;
}

int reserve_image(long long size) {
    check(m.image_open, "a reservation for no open image");
    check(m.storage_prepared && !m.encrypts, "a reservation for an image not prepared for it");
    check(m.file_size == 0 && !m.flushed, "a reservation after the writing began");
    check(size % megabyte == 0 && size >= 100 * megabyte, "a reservation of a wrong size");
    bool refused = fails(call::reserve);
    // The image is still empty: the whole disk is what is free for it.  A
    // file system that can neither reserve nor tell its free space (or
    // fails to tell it) leaves it to the writes.
    if (!refused && (m.reserves || (m.reports_space && !fails(call::freespace))))
        refused = size > m.capacity;
    if (refused) {
        fail_with(error_of_full_disk);
        m.reservation_refused = true;
        return -1;
    }
    return 0;
}

int flush_image() {
    check(m.image_open, "a flush of no open image");
    if (fails(call::fsync))
        return -1;
    if (m.drive_gone) {
        fail_with(error_of_injected_failure);
        return -1;
    }
    m.flushed = true;
    return 0;
}

int close_image() {
    check(m.image_open, "a close of no open image");
    m.image_open = false;
    return fails(call::close) ? -1 : 0;
}

// Only the image itself: a file that has taken its place stays.  A drive
// that has gone took the image with it, undeleted.
bool discard_image(const char* path) {
    bool ours = m.file_there && !m.file_is_old_image && m.file_identity == m.image_identity;
    bool deleted = !m.drive_gone && (!ours || !fails(call::unlink));
    if (m.image_open)
        static_cast<void>(close_image());
    if (!deleted) {
        m.image_deletion_failed = true;
        return false;
    }
    if (!ours)
        return true;
    m.file_there = false;
    long long size = 0;
    file_identity found{};
    return look_at_path(path, &size, &found) == look::nothing_there;
}

void catch_interrupts() {
    check(m.image_open && m.file_size == 0, "interrupts caught when no image is begun");
    m.interrupts_caught = true;
}

bool interrupted() {
    check(m.interrupts_caught, "a look for an interrupt that nothing catches");
    if (fails(call::interrupt)) {
        m.interrupt_arrived = true;
        fail_with(4);
    }
    return m.interrupt_arrived;
}

// An interrupt that comes after the last look, as the interrupts are let
// go, ends the program at once, as the system ends it.
void release_interrupts() {
    m.interrupts_caught = false;
    if (fails(call::late_interrupt) || m.interrupt_arrived) {
        m.interrupt_arrived = true;
        m.ended_interrupted = true;
        std::longjmp(process_end, 1);
    }
}

void end_interrupted() {
    check(m.interrupt_arrived, "ended as interrupted without an interrupt");
    // The title stays as the program left it.
    m.ended_interrupted = true;
    std::longjmp(process_end, 1);
}

void* allocate(std::size_t size) {
    if (fails(call::allocate)) {
        m.allocation_failed = true;
        return nullptr;
    }
    m.blocks_held++;
    return std::malloc(size);
}

void release(void* block) {
    check(block != nullptr, "a null block freed");
    m.blocks_held--;
    std::free(block);
}

} // namespace platform

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    start(data, size);
    if (setjmp(process_end) == 0)
        make_image();
    check_end();
    return 0;
}
