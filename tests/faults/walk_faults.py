#!/usr/bin/env python3
"""Makes every call of a run fail in turn, and checks what follows.

  walk_faults.py build/native/tests/tolvera-image-faults
  walk_faults.py windows build/windows/tolvera-image-faults.exe    (under Wine)

For each scenario (the lines typed, an old image on the drive or not) the
program first runs undisturbed with its calls traced.  Then, for every call
of that trace, it runs again with just that call failing, or giving an
answer that the test machine cannot give, and the outcome is checked
against what the failed call must lead to.  What that is depends on the
call's part in the program, its role.  Both traces name the rows of their
platform's table of system calls, the moment after a look at the
interrupt flag among them; a call's role follows from the call before
it, those looks and the progress in the title left aside, and where that
is not enough, from which use of that pair it is or from the role of the
call before it (the tables NATIVE_ROLES, WINDOWS_ROLES, with the faults
tried):

  query            nothing there (no such file, folder or drive, no
                   medium): as if no file were there; any other failure:
                   the error, the exit prompt, status -1, nothing touched
  unlink           not looked at: the outcome of the undisturbed run (an
                   old image that a failed deletion kept is still there)
  undisturbed      not looked at, or a file system that cannot do it (a
                   reservation, writing past the cache): the outcome of the
                   undisturbed run, at most with a few calls more or less
  read             as if the input had ended before that line
  allocate         the error, the exit prompt, the error number as status
  create           the error; the block freed; status -1
  created          the same after the file was opened, which is closed
  write            the error; the block freed, the file closed, the image
                   deleted; status -1
  close            the same, but the file is not closed again
  storage          the new image's attributes, before the first block: a
                   query that fails is not looked at; an image that comes
                   out encrypted is told of, closed and deleted; status -1
  room             the room the flushed image holds: a drive that does
                   not say is not looked at; one that holds a whole
                   megabyte or more less than the size is told of, with no
                   "Fertig!", the complete image kept; status -1

and an interrupt (SIGINT, SIGTERM, SIGHUP, or CTRL_C_EVENT,
CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, in turn) that arrives:

  before           the first read: the program ends at once, nothing changed
  during           the writing (the reservation, the first and last write,
                   the flush): no more blocks; the error text for EINTR; the
                   block freed, the file closed, the image deleted; no exit
                   prompt; the process ends as interrupted
  after look       just after a look at the interrupt flag: the same once
                   the block at hand is written
  after look,      the same, and the next call (the write of that block)
  failing          fails: its reason, the clean-up, the end as interrupted
  failing          during a write or flush that fails: its reason, the same
                   clean-up, and the end as interrupted
  after            the writing (the close, "Fertig!"): the program ends at
                   once, the image complete
  last look        after the last look at the interrupt flag, before it is
                   let go: the image complete, no "Fertig!", ended as
                   interrupted

The native program stops at the very next look once interrupted, and
every interrupt of its walk that meets no failure is tried once more with
the three signals ignored from the start (as nohup starts a program):
then it must run as undisturbed, call for call (the interrupt signals'
actions aside, which it looks at but leaves alone).  Its further faults: the
reservation refused for a quota or a file too large; write-back
unsupported with each error number that means so; a file system that
cannot reserve, and a drive that reports its free space (too little, just
enough, beyond 64 bits) or nothing; a write failing with an error number
the program has no words for.

Each run is checked for its standard output and error, exit status, what
is left at the image path, and, after a failure, the calls up to it (those
of the undisturbed run) and the order of the clean-up.  A run that does
not end within a time limit fails as hung.  Of the calls that repeat for
every block (the Windows walk's WriteFile and looks at the flag), the first
two and the last two uses are walked; the native walk takes every use.

The runs are spread over parts that run side by side, one a core unless
TOLVERA_WALK_PARTS says how many: each part makes the undisturbed runs
itself and every n-th of the others, on drives of its own, the Windows
parts each in a Wine prefix of its own.  That all parts went through the
same runs in the same order is checked.
"""

import collections
import errno
import hashlib
import json
import os
import signal
import string
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import drives  # noqa: E402
import run_cases  # noqa: E402
from cases import CANNOT_CREATE, CANNOT_LOOK, CANNOT_WRITE, NO_MEMORY  # noqa: E402
from texts import (DRIVE_QUESTION, PROMPT, TITLE, error_line, first_screen,  # noqa: E402
                   image_encrypted, replace_screen, room_not_held, size_screen)

START = first_screen()
FINISHING = "TOLVERA.IMG: wird auf dem Laufwerk abgeschlossen ..."

PATH = drives.image_path("D")
OLD_SIZE = 100 * drives.MB


class Scenario:
    """absent: the stdout and status when the look at the image path
    finds nothing although an old image is there (a drive plugged in, an
    image made, after the look), where they are not those of a run on a
    drive without the old image.  plan: what the seam answers in every run
    of the scenario, for the builds named."""

    def __init__(self, name, input, old_image, absent=None, deleted_here=False, plan="",
                 builds=("native", "windows")):
        self.name = name
        self.input = input
        self.old_image = old_image
        self.absent = absent
        # The program deleted the old image itself before it creates its
        # own.
        self.deleted_here = deleted_here
        self.plan = plan
        self.builds = builds


SCENARIOS = [
    Scenario("a new image", b"d\n100\n\n", False),
    Scenario("an old image replaced", b"d\nj\n100\n\n", True, deleted_here=True),
    Scenario("an old image kept", b"x\nd\nn\n\n", True),
    Scenario("'abc' after the old image was deleted", b"d\nj\nabc\n\n", True,
             deleted_here=True),
    Scenario("the size asked again", b"d\n50\n\n150\n\n", False),
    Scenario("end of input at the size question", b"d\n", False),
    # Found, '100' declines the replacement.  Where the look finds nothing,
    # '100' is the size, and the creation finds the old image: it is asked
    # about then, and 'n' keeps it.
    Scenario("an old image, and a size after the look", b"d\n100\nn\n\n", True,
             absent=([START, size_screen("D"), TITLE, replace_screen("D", 100), PROMPT], 0)),
    # The new image comes out compressed, as in a folder marked to compress
    # new files (its attributes looked at right after its identity):
    # compression is switched off, which Wine refuses, and the image's room
    # is measured, which Wine's drive here holds.
    Scenario("a new image that comes out compressed", b"d\n100\n\n", False,
             plan="GetFileInformationByHandleEx:1:compressed", builds=("windows",)),
]


class Fault:
    """One way to disturb a call.  how is the fault seam's word for it
    ("112", "short", "reparse"), or a plan of several faults in which
    {site} stands for the call at hand ("WriteFile:3") and {next} for the
    next use of it, {pages} for the image in blocks of 4096 bytes,
    {fewer} for one less and {many} for MANY_MEGABYTES, {short} for the
    bytes of the image less a megabyte and {within} for 4096 more, and
    {short512}, {within512} for the same in blocks of 512 bytes.  error
    names the
    reason the program must then give (or is an error number of this
    machine); None means it goes on to the undisturbed outcome, with more (a dict)
    calls more or fewer in its trace when given.  left: what is then at
    the image path, a word or a function of the scenario, when not what
    the role leads to.  at: the uses of the call to try it on (see AT),
    when not every walked one.  deleted: a deletion still takes place, by
    another road.  first: the calls that come before the clean-up (the
    look's handle closed).  when: the scenarios to try it in, a function
    of the scenario, when not all."""

    def __init__(self, how, error=None, more=None, left=None, at=None, deleted=False,
                 first=(), when=None):
        self.how = how
        self.error = error
        self.more = more
        self.left = left
        self.at = at
        self.deleted = deleted
        self.first = list(first)
        self.when = when or (lambda scenario: True)

    def plan(self, call, use, pages=0):
        if "{" not in self.how:
            return "%s:%d:%s" % (call, use, self.how)
        short = pages * 4096 - drives.MB
        return self.how.format(site="%s:%d" % (call, use), next="%s:%d" % (call, use + 1),
                               pages=pages, fewer=pages - 1, many=MANY_MEGABYTES,
                               short=short, within=short + 4096, short512=short // 512,
                               within512=(short + 4096) // 512)


# Which uses of a call, of total, something is tried on.
AT = {
    None: lambda use, total: True,
    "first": lambda use, total: use == 1,
    "last": lambda use, total: use == total,
    "ends": lambda use, total: use in (1, total),
    # The looks at the flag before the first and the last write (one more
    # look follows the last write).
    "before ends": lambda use, total: use in (1, total - 1),
}


class Role:
    """What a call does for the program: behaviour (see above), the faults
    to try on it, and the interrupts to deliver as it starts, at every
    walked use of it or only at the first, the last or both ends (at, or
    an interrupt given as (kind, at) for its own uses)."""

    def __init__(self, behaviour, faults=(), interrupts=(), at=None):
        self.behaviour = behaviour
        self.faults = faults
        self.interrupts = interrupts
        self.at = at

    def interrupts_at(self, use, total):
        """The kinds of interrupt to deliver at this use."""
        kinds = []
        for kind in self.interrupts:
            kind, at = kind if isinstance(kind, tuple) else (kind, self.at)
            if AT[at](use, total):
                kinds.append(kind)
        return kinds


def errors(*numbers):
    """Native faults: each error number, and the reason for it."""
    return tuple(Fault(str(number), errno.errorcode[number]) for number in numbers)


# Blocks of 1 MiB whose bytes, multiplied in 64 bits, wrap round to 1 MiB.
MANY_MEGABYTES = 2 ** 44 + 1
# An error number that the program has no German words for.
UNKNOWN = errno.EREMOTEIO
# A file system that cannot reserve: the free space its drive reports
# decides, asked once more than undisturbed.
CANNOT_RESERVE = "{site}:%d,fstatvfs:1:" % errno.EOPNOTSUPP
ASKED = {"fstatvfs": 1}


NATIVE_ROLES = {
    # (call, the call before it or None for any): its role
    ("posix_memalign", None): Role("allocate", errors(errno.ENOMEM)),
    ("free", None): Role("undisturbed"),
    # Only nothing there lets the run go on as if no file were there.
    ("lstat", None): Role("query", errors(errno.EIO, errno.EACCES) + tuple(
        Fault(str(number)) for number in (errno.ENOENT, errno.ENOTDIR, errno.ENXIO))),
    # The look before the deletion, after the answer 'j', whether the file
    # is still the one the user agreed to: where it cannot tell, nothing is
    # deleted, and the creation takes that same file, cut to nothing.
    ("lstat", "fgets", 2): Role("unlink", errors(errno.EIO, errno.ENOENT)),
    # The mode change before the deletion.
    ("umask", None): Role("undisturbed"),
    ("fchmodat", None): Role("undisturbed", errors(errno.EPERM)),
    ("unlink", None): Role("unlink", errors(errno.EBUSY)),
    ("open", None): Role("create", errors(errno.EACCES)),
    # The new file's identity: without it, the file stays as it was made,
    # empty, rather than that a file of somebody else's can go.
    ("fstat", "open"): Role("created", (Fault(str(errno.EIO), "EIO", left="an empty file"),)),
    # Standard output is a pipe here: no title.  A clock that fails only
    # spoils the time left in a title.
    ("isatty", None): Role("undisturbed", errors(errno.EBADF)),
    ("clock_gettime", None): Role("undisturbed", (Fault(str(errno.EINVAL), at="ends"),)),
    # Interrupts not caught, or not let go: neither changes a run without one.
    ("sigaction", None): Role("undisturbed", errors(errno.EINVAL)),
    ("write", None): Role("write", errors(errno.ENOSPC) + (
        Fault("short", more={"write": 1}), Fault(str(UNKNOWN), UNKNOWN, at="first")),
        ("during", "failing"), "ends"),
    # A file system that cannot reserve or write back ahead goes on; where
    # it cannot reserve, the drive's free space decides, unless the drive
    # cannot tell it or reports no blocks, or blocks of no size.
    ("fallocate", None): Role("write", errors(errno.ENOSPC, errno.EDQUOT, errno.EFBIG) + (
        Fault(str(errno.EOPNOTSUPP)),
        Fault(CANNOT_RESERVE + str(errno.ENOSYS), more=ASKED),
        Fault(CANNOT_RESERVE + "report4096/0/0", more=ASKED),
        Fault(CANNOT_RESERVE + "report0/{pages}/{pages}", more=ASKED),
        Fault(CANNOT_RESERVE + "report4096/{pages}/{fewer}", "ENOSPC"),
        Fault(CANNOT_RESERVE + "report4096/{pages}/{pages}", more=ASKED),
        Fault(CANNOT_RESERVE + "report1048576/{many}/{many}", more=ASKED)),
        ("during",)),
    ("fstatvfs", None): Role("undisturbed"),
    # Write-back that the file system cannot do leaves it to write back on
    # its own, from then on.
    ("sync_file_range", None): Role("write", errors(errno.EIO) + (Fault(str(errno.EINVAL)),) + tuple(
        Fault(str(number), at="first")
        for number in (errno.ESPIPE, errno.ENOSYS, errno.EOPNOTSUPP)), ("during",), "first"),
    # Only advice.
    ("posix_fadvise", None): Role("undisturbed", errors(errno.EINVAL)),
    ("fsync", None): Role("write", errors(errno.EIO), ("during", "failing")),
    # The room the flushed image holds: a whole megabyte short or more is
    # told (the answer's blocks of 512 bytes), less short is none; a drive
    # that does not say tells nothing.
    ("fstat", None): Role("room", (
        Fault(str(errno.EIO)), Fault("blocks0", "room"),
        Fault("{site}:blocks{short512}", "room"), Fault("{site}:blocks{within512}"))),
    # A signal right after a look at the flag; after the last, too late for
    # it: the image is complete.
    ("after_interrupt_look", None): Role("look", (), (("after look", "before ends"),
                                                      ("after look, failing", "before ends"),
                                                      ("last look", "last"))),
    ("close", None): Role("close", errors(errno.EIO), ("after",)),
    ("fgets", None): Role("read", errors(errno.EIO), ("before",), "first"),
    # The text is written, the failure reported: the program goes on.
    ("vprintf", None): Role("undisturbed", errors(errno.EIO)),
    ("fflush", None): Role("undisturbed", errors(errno.EIO)),
    # The error lines come only after a failure: see own_runs.
    ("vfprintf", None): Role("undisturbed", errors(errno.EIO)),
    ("sigemptyset", None): Role("undisturbed", errors(errno.EINVAL)),
    ("exit", None): Role("undisturbed"),
}

def old_image_kept(scenario):
    return "the old image" if scenario.old_image else None


def old_image_or_made_file_kept(scenario):
    """Both deletions failing keep an old image; where there was none,
    the first failing deletion is the one that would remove the file the
    open made, which so stays, empty."""
    return "the old image" if scenario.old_image else "an empty file"


# The Windows program's calls.  The runtime's own (vprintf, fflush, fgets)
# fail with an error number of its own (5 is EIO); the system's with a
# Windows error code, whose reason goes by its error name: the runtime's
# numbers differ from this machine's.
WINDOWS_ERRNO = {"ENOMEM": 12}
FULL = ("112", "ENOSPC")  # ERROR_DISK_FULL
BROKEN = ("1117", "EIO")  # ERROR_IO_DEVICE
# The first write past the cache refused: the same block again through it.
THROUGH_CACHE = {"WriteFile": 1, "ReOpenFile": 1, "CloseHandle": 1}
WRITE_FAULTS = (
    Fault(*FULL), Fault(*BROKEN),
    # The rest of a block after a short write no longer lies on the
    # sectors: it goes through the cache.
    Fault("short", more=THROUGH_CACHE),
    Fault("{site}:short,ReOpenFile:1:32", "EBUSY"),  # ERROR_SHARING_VIOLATION
)
WINDOWS_ROLES = {
    ("SetErrorMode", None): Role("undisturbed"),  # cannot fail
    ("GetStdHandle", None): Role("undisturbed", (Fault("6"),)),  # ERROR_INVALID_HANDLE
    # Standard output is a pipe here: the screens are cleared with escape
    # sequences whatever the console does (see WINDOWS_CONSOLE_RUNS).
    ("GetConsoleMode", None): Role("undisturbed", (Fault("6"),)),
    # The clock, for the time left in the title; it cannot fail.
    ("GetTickCount64", None): Role("undisturbed"),
    # No console here, so no title: see WINDOWS_TITLE_RUNS.
    ("GetConsoleTitleW", None): Role("undisturbed", (Fault("6"),)),
    # Interrupts then take their usual course.
    ("SetConsoleCtrlHandler", None): Role("undisturbed", (Fault("8"),)),
    # The text is written, the failure reported: the program goes on.
    ("vprintf", None): Role("undisturbed", (Fault("5"),)),
    ("vprintf", "CloseHandle", "close"): Role("undisturbed", (Fault("5"),), ("after",)),  # "Fertig!"
    ("fflush", None): Role("undisturbed", (Fault("5"),)),
    ("vfprintf", None): Role("undisturbed", (Fault("5"),)),
    ("exit", None): Role("undisturbed"),
    ("fgets", None): Role("read", (Fault("5"),), ("before",), "first"),
    ("VirtualAlloc", None): Role("allocate", (Fault("8", "ENOMEM"),)),
    ("VirtualFree", None): Role("undisturbed", (Fault("87"),)),
    # The look after the drive letter, on a handle of its own.  Refused, a
    # failing device: the run stops.  No such file, folder or drive, a
    # drive without a medium: nothing there.
    ("CreateFileA", "fgets", 1): Role("query", (
        Fault("5", "EACCES"), Fault("1117", "EIO"), Fault("32", "EBUSY"),
        Fault("2"), Fault("3"), Fault("15"), Fault("21"), Fault("1112"))),
    ("GetFileInformationByHandle", "CreateFileA", "query"): Role("query", (
        Fault("1117", "EIO", first=["CloseHandle"]),)),
    ("CloseHandle", "GetFileInformationByHandle", "query"): Role("undisturbed", (Fault("6"),)),
    # The deletion after the answer 'j', through a handle on the file
    # itself.  Where the file cannot be opened or told (refused, another
    # file by now, a folder), nothing is deleted, and the creation takes
    # that same file, cut to nothing.  A read-only file loses the
    # attribute first; a junction goes as itself.
    ("CreateFileA", "fgets", 2): Role("unlink", (Fault("5"), Fault("32"))),
    ("GetFileInformationByHandle", "CreateFileA", "unlink"): Role("unlink", (
        Fault("1"), Fault("other"), Fault("directory"), Fault("junction", deleted=True),
        Fault("readonly", more={"SetFileInformationByHandle": 1}, deleted=True))),
    # The deletion with POSIX semantics, which Wine refuses (87): the plain
    # one, at the close, follows, as it does on a system or file system
    # without them; where they are there ("posix"), it is the only one.
    # Refused: nothing deleted.
    ("SetFileInformationByHandle", "GetFileInformationByHandle"): Role("unlink", (
        Fault("87", deleted=True), Fault("1", deleted=True), Fault("50", deleted=True),
        Fault("5"), Fault("posix", more={"SetFileInformationByHandle": -1}, deleted=True))),
    ("SetFileInformationByHandle", "SetFileInformationByHandle"): Role("unlink", (Fault("5"),)),
    ("CloseHandle", "SetFileInformationByHandle"): Role("undisturbed", (Fault("6"),)),
    # The look whether the file is gone: a failing one counts it as
    # pending, and so as going.
    ("CreateFileA", "CloseHandle"): Role("undisturbed", (Fault("5"),)),
    # The sector size: without it the image goes through the cache.
    ("GetDiskFreeSpaceA", None): Role("undisturbed", (Fault("21"), Fault("sector8192"))),
    # The creation; a file system that cannot write past the cache refuses
    # the first open with 87 or 50, and the file is opened again.
    # Refused right after the program deleted the old image itself: that
    # file is still pending, held by another program, and the creation is
    # tried again after a pause.
    ("CreateFileA", "GetDiskFreeSpaceA"): Role("create", (
        Fault("5", "EACCES", when=lambda scenario: not scenario.deleted_here),
        Fault("5", more={"Sleep": 1, "CreateFileA": 1},
              when=lambda scenario: scenario.deleted_here),
        Fault("19", "EROFS"), Fault("21", "ENXIO"),
        Fault("32", "EBUSY"), Fault("3", "ENOENT"),
        Fault("87", more={"CreateFileA": 1}), Fault("50", more={"CreateFileA": 1}),
        Fault("{site}:87,{next}:5", "EACCES", when=lambda scenario: not scenario.deleted_here),
        Fault("{site}:87,{next}:5", more={"Sleep": 1, "CreateFileA": 2},
              when=lambda scenario: scenario.deleted_here))),
    # The new file's identity, for its deletion after a failure: without
    # it, the file goes again at once, through its handle.
    ("GetFileInformationByHandle", "CreateFileA", "create"): Role("created", (
        Fault("1", "EINVAL"),)),
    # The new image's attributes, right after its identity: encrypted, it
    # goes again before a block is written (compressed: see SCENARIOS).  A
    # query that fails tells nothing.
    ("GetFileInformationByHandleEx", "GetFileInformationByHandle"): Role("storage", (
        Fault("1"), Fault("encrypted", "encrypted"))),
    ("DeviceIoControl", None): Role("undisturbed", (Fault("5"), Fault("ok"))),
    # The room the flushed image holds, by its allocation and by the
    # storage it uses: the lesser counts.
    ("GetFileInformationByHandleEx", "FlushFileBuffers"): Role("room", (
        Fault("1"), Fault("allocated0", "room"), Fault("{site}:allocated{short}", "room"),
        Fault("{site}:allocated{within}"), Fault("{site}:1,GetCompressedFileSizeA:1:5"))),
    ("GetCompressedFileSizeA", None): Role("room", (
        Fault("5"), Fault("bytes0", "room"), Fault("{site}:bytes{short}", "room"),
        Fault("{site}:bytes{within}"))),
    # The reservation; Wine's file systems cannot reserve, so the drive's
    # free room is asked (GetDiskFreeSpaceExA) unless it is taken.
    ("SetFileInformationByHandle", "SetConsoleCtrlHandler"): Role("write", (
        Fault(*FULL), Fault("39", "ENOSPC"), Fault("1816", "ENOSPC"), Fault("223", "EFBIG"),
        Fault("1"), Fault("50"), Fault("ok", more={"GetDiskFreeSpaceExA": -1})),
        ("during",)),
    ("GetDiskFreeSpaceExA", None): Role("undisturbed", (Fault("21"),)),
    # The first write past the cache refused with 87: through the cache.
    ("WriteFile", "GetDiskFreeSpaceExA"): Role("write", WRITE_FAULTS + (
        Fault("87", more=THROUGH_CACHE),
        Fault("{site}:87,ReOpenFile:1:5", "EACCES")), ("during", "failing")),
    ("WriteFile", "WriteFile"): Role("write", WRITE_FAULTS + (Fault("87", "EINVAL"),),
                                     ("during", "failing"), "last"),
    # An interrupt just after a look: the block at hand is still written.
    ("after_interrupt_look", None): Role("look", (), ("after look", "after look, failing")),
    ("after_interrupt_look", "FlushFileBuffers"): Role("look", (), ("last look",)),
    ("FlushFileBuffers", None): Role("write", (Fault(*BROKEN),), ("during", "failing")),
    # The block is freed before the image is closed.
    ("CloseHandle", "VirtualFree"): Role("close", (Fault(*BROKEN),), ("after",)),
}

# Standard output a console: the first screen is cleared with the
# console's own calls, which the seam answers (the later ones meet the
# pipe, which is no console, and get the escape sequences); where one of
# them fails, the screen gets the escape sequences as a pipe does.
CONSOLE = ["GetConsoleMode:1:console", "GetConsoleScreenBufferInfo:1:console",
           "FillConsoleOutputCharacterA:1:ok", "FillConsoleOutputAttribute:1:ok",
           "SetConsoleCursorPosition:1:ok"]
WINDOWS_CONSOLE_RUNS = [(",".join(CONSOLE), True)] + [
    (",".join(CONSOLE[:failing] + [CONSOLE[failing].rsplit(":", 1)[0] + ":6"]), False)
    for failing in range(1, len(CONSOLE))]

# A console window with a title (the seam answers it, as the test runs
# without one, with letters beyond any one code page, and logs every title
# set): the progress is shown and the user's own title given back, also
# where setting one fails.  Ctrl+C or a closed window while the first
# title is set interrupts the writing; after the last look at the flag,
# or once the interrupts are let go (as the image is closed), it ends the
# program: each time the user's title is back before the end.  {last}
# stands for the last look, {close} for the image's close.
TITLE_PLAN = "GetConsoleTitleW:1:title"
USERS_TITLE = "Eingabeaufforderung \u00c4rger \u0394\u03b9\u03c3\u03ba \u2013 \u753b\u50cf"
WINDOWS_TITLE_RUNS = [
    (TITLE_PLAN, None), (TITLE_PLAN + ",SetConsoleTitleW:1:6", None),
    (TITLE_PLAN + ",SetConsoleTitleW:2:6", None),
    (TITLE_PLAN + ",SetConsoleTitleW:1:ctrl0", "CTRL_C_EVENT"),
    (TITLE_PLAN + ",SetConsoleTitleW:1:ctrl1", "CTRL_BREAK_EVENT"),
    (TITLE_PLAN + ",SetConsoleTitleW:1:ctrl2", "CTRL_CLOSE_EVENT"),
    (TITLE_PLAN + ",{last}:ctrl0", "last look"),
    (TITLE_PLAN + ",{close}:ctrl0", "at the close"),
    (TITLE_PLAN + ",{close}:ctrl2", "at the close"),
    (TITLE_PLAN + ",GetConsoleTitleW:1:6", "no console"),
]

# Runs with answers that a scenario's own input must go with: a FAT32
# drive refuses a file of 4 GiB or more whatever its room, even when the
# reservation cannot be made; one that is full at a smaller size is full.
# (input, plan, reason); the last fault of the plan is the one that fails.
WINDOWS_OWN_RUNS = [
    (b"d\n4096\n\n", "SetFileInformationByHandle:1:112,GetVolumeInformationByHandleW:1:fat32",
     "EFBIG"),
    (b"d\n4096\n\n", "SetFileInformationByHandle:1:1,GetVolumeInformationByHandleW:1:fat32",
     "EFBIG"),
    (b"d\n100\n\n", "GetVolumeInformationByHandleW:1:fat32,SetFileInformationByHandle:1:112",
     "ENOSPC"),
    (b"d\n100\n\n", "WriteFile:57:1117,vfprintf:1:5", "EIO"),
]


def clean_up(prompt, release, close, discard, discard_closed, let_go=()):
    """What follows a failure of each behaviour, up to the exit prompt's
    output and read and the end; discard: the deletion of the open image,
    its close and the look whether it is gone; discard_closed: the same
    for an image already closed; let_go: the interrupts let go.  The error
    line (vfprintf) comes before the image is deleted.  The image is
    created before the block is taken, which is freed before the
    interrupts are let go and the image closed."""
    let_go = list(let_go)
    report = ["vfprintf"]
    return {
        "query": report + prompt,
        "allocate": report + discard + prompt,
        "storage": report + discard + prompt,
        "create": report + prompt,
        "created": close + report + prompt,
        "write": release + report + discard + let_go + prompt,
        "close": report + discard_closed + let_go + prompt,
    }


class Native:
    """The native test build, run as from a terminal."""
    name = "native"
    # The call that writes a block of the image.
    block_call = "write"
    roles = NATIVE_ROLES
    prompt_calls = ["vprintf", "fflush", "fgets", "exit"]
    # The usual actions of SIGINT, SIGTERM and SIGHUP put back.
    let_go = ["sigaction"] * 3
    # The image is closed, and its name goes where a look shows the image
    # still there.
    discard = ["close", "lstat", "unlink", "lstat"]
    clean_up = clean_up(prompt_calls, ["free"], ["close"], discard, ["lstat", "unlink", "lstat"],
                        let_go)
    made_clean_up = ["close", "vfprintf"] + prompt_calls
    # After an interrupt: the image deleted, then the end by the signal,
    # through its default action; or, where a failure came first, by the
    # signal passed on as the interrupts are let go.
    discard_calls = ["free", "vfprintf"] + discard
    interrupted_end = ["fflush", "sigemptyset", "sigaction", "raise"]
    passed_on = let_go + ["raise"]
    # After the last look: the image's room measured, the block freed, the
    # signal passed on.
    last_look_calls = ["fstat", "free"] + passed_on
    # What the writing may still do between an interrupt and its clean-up,
    # which stops at the very next look; on the failing road nothing comes
    # between the failure and the clean-up.
    writing_calls = ("sync_file_range", "posix_fadvise", "fsync", "clock_gettime")
    stop_calls = ["after_interrupt_look"]
    failing_skip = ()
    repeated_calls = ()
    passing_calls = ()
    # An error line that cannot be written changes nothing else.
    own_runs = [(b"d\n100\n\n", "write:57:5,vfprintf:1:5", "EIO")]
    # Standard output is a pipe here: no title (run_terminal.py shows it).
    title_plan = ""
    title_calls = ()
    console_runs = []
    title_runs = []
    interrupts = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
    # Interrupts can be ignored from the start, as nohup does.
    ignorable = True
    # Seconds for a run that takes less than one.
    time_limit = 30

    def __init__(self, program):
        self.command = [os.path.abspath(program)]

    def text(self, data):
        return data

    def errno_value(self, name):
        return getattr(errno, name)

    def interrupt(self, turn):
        """The fault seam's word for an interrupt, its status, its name."""
        number = self.interrupts[turn % len(self.interrupts)]
        return "sig%d" % number, -number, signal.Signals(number).name

    def execute(self, input, env, directory, ignored=False):
        # As from a terminal: a test runner may have started us with
        # interrupts ignored, and the program leaves ignored ones alone.
        # Or as nohup starts a program, with them ignored.
        # The program starts with the actions this process has then (one
        # that it catches becomes the default): set here, not in the
        # child, which would take a fork of this process for every run.
        action = signal.SIG_IGN if ignored else signal.SIG_DFL
        ours = set_interrupts(action)
        try:
            return subprocess.run(self.command, input=input, capture_output=True, env=env,
                                  timeout=self.time_limit)
        finally:
            for number, handler in zip(self.interrupts, ours):
                signal.signal(number, handler)

    def environment(self):
        return os.environ

    def hung(self):
        pass

    def close(self):
        pass


def set_interrupts(action):
    """Gives the actions that were there."""
    return [signal.signal(number, action) for number in Native.interrupts]


class Windows(Native):
    """The Windows test build under Wine, in a prefix of its own with a
    server that lives through all runs (see run_cases.Windows)."""
    name = "windows"
    roles = WINDOWS_ROLES
    block_call = "WriteFile"
    prompt_calls = ["vprintf", "fflush", "fgets", "exit"]
    # The deletion set on the image's handle, which Wine takes only without
    # POSIX semantics, then the close, and the look that finds nothing.
    # Once closed, the image is opened anew and told by its identity.
    delete = ["SetFileInformationByHandle", "SetFileInformationByHandle"]
    discard = delete + ["CloseHandle", "CreateFileA"]
    clean_up = clean_up(prompt_calls, ["VirtualFree"], ["CloseHandle"], discard,
                        ["CreateFileA", "GetFileInformationByHandle"] + delete
                        + ["CloseHandle", "CreateFileA", "CreateFileA"])
    # Letting go of the interrupts, and the end as interrupted, call
    # nothing that is traced.
    discard_calls = ["VirtualFree", "vfprintf"] + discard
    interrupted_end = ["exit"]
    passed_on = ["exit"]
    last_look_calls = ["GetFileInformationByHandleEx", "GetCompressedFileSizeA", "VirtualFree",
                       "exit"]
    # A creation that fails after its open made the file deletes it again,
    # through its handle.
    made_clean_up = delete + ["CloseHandle", "vfprintf"] + prompt_calls
    # The program's looks at its interrupt flag, and its progress in the
    # window's title, which do not count as the call before another.
    passing_calls = ("after_interrupt_look", "GetTickCount64", "GetConsoleTitleW",
                     "SetConsoleTitleW")
    # A handler that takes the event waits in Sleep for the writing to end
    # the process.
    writing_calls = ("Sleep", "after_interrupt_look", "FlushFileBuffers", "GetDiskFreeSpaceExA",
                     "GetTickCount64", "SetConsoleTitleW")
    stop_calls = []
    failing_skip = writing_calls
    repeated_calls = ("WriteFile", "after_interrupt_look", "GetTickCount64")
    ignorable = False
    own_runs = WINDOWS_OWN_RUNS
    console_runs = WINDOWS_CONSOLE_RUNS
    title_runs = WINDOWS_TITLE_RUNS
    # Every run has a console window with the user's title, which must be
    # back however the run ends.  How many progress titles a run sets
    # depends on the clock, so the title calls are left out of its trace
    # and checked by the titles themselves.
    title_plan = TITLE_PLAN
    title_calls = ("GetConsoleTitleW", "SetConsoleTitleW")
    events = ["CTRL_C_EVENT", "CTRL_BREAK_EVENT", "CTRL_CLOSE_EVENT"]
    # STATUS_CONTROL_C_EXIT; Wine passes on its low byte.
    interrupted_status = 0xC000013A & 0xFF
    time_limit = 30

    def __init__(self, program):
        self.wine = run_cases.Windows(program)

    def text(self, data):
        return run_cases.expected_stream(self.wine, [data])

    def errno_value(self, name):
        return WINDOWS_ERRNO[name]

    def interrupt(self, turn):
        number = turn % len(self.events)
        return "ctrl%d" % number, self.interrupted_status, self.events[number]

    def execute(self, input, env, directory, ignored=False):
        # The trace file is named by its Unix path, which the program
        # reaches through drive Z: from a working directory there.
        return subprocess.run(self.wine.command, input=input, capture_output=True, env=env,
                              timeout=self.time_limit, cwd=directory)

    def environment(self):
        return self.wine.env

    def hung(self):
        """A hung program may hold the server: all of the prefix's
        processes go, and a fresh server starts."""
        env = self.wine.env
        subprocess.run(["wineserver", "--kill"], env=env)
        drives.start_wine_server(env)

    def close(self):
        self.wine.close()


BUILDS = {"native": Native, "windows": Windows}


class Outcome:
    def __init__(self, stdout, stderr, status, left, trace, titles=()):
        self.stdout = stdout
        self.stderr = stderr
        self.status = status  # None: hung
        self.left = left
        self.trace = trace
        self.titles = titles  # the window's titles set, as the seam logs them


def what_is_left():
    """What the run left at the image path, in a word."""
    if not os.path.lexists(PATH):
        return "nothing"
    if drives.old_image_intact(PATH, OLD_SIZE):
        return "the old image"
    size = os.lstat(PATH).st_size
    if size == 0:
        return "an empty file"
    if size % drives.MB == 0 and drives.zero_image_problem(PATH, size // drives.MB) is None:
        return "an image of %d MB" % (size // drives.MB)
    return "a broken file of %d bytes" % size


def tail(value):
    return repr(value[-300:] if isinstance(value, bytes) else value)


def lines_before(input, count):
    return b"".join(input.splitlines(keepends=True)[:count])


def pages(base, build):
    """The image in blocks of 4096 bytes."""
    return base.trace.count(build.block_call) * drives.MB // 4096


def first_disturbed(trace, plan, index):
    """The index in the undisturbed trace of the first call that a fault
    of plan hits, at most index; up to it a run traces the same calls."""
    for fault in plan.split(","):
        call, use = fault.split(":")[:2]
        places = [place for place, name in enumerate(trace) if name == call]
        if int(use) <= len(places):
            index = min(index, places[int(use) - 1])
    return index


def calls_after(trace, plan):
    """The calls after the one that the last fault of plan names, or None
    when the trace does not reach it."""
    call, use = plan.split(",")[-1].split(":")[:2]
    seen = 0
    for index, name in enumerate(trace):
        seen += name == call
        if seen == int(use):
            return trace[index + 1:]
    return None


def resolve(roles, call, before, pair_use, before_behaviour):
    """A call's role: by the call before it and which use of that pair it
    is, or the behaviour of the call before it; else by the call before
    it; else by the call alone."""
    for key in ((call, before, pair_use), (call, before, before_behaviour), (call, before),
                (call, None)):
        if key in roles:
            return roles[key]
    return None


class Walk:
    def __init__(self, build, part=0, parts=1):
        self.build = build
        self.runs = 0
        self.repeated = 0
        self.turn = 0
        self.failures = []
        self.undisturbed = {}
        # What the seam answers in every run of the scenario walked.
        self.scenario_plan = ""
        self.part = part
        self.parts = parts
        self.jobs = 0
        self.walked = hashlib.sha256()

    def mine(self, *job):
        """Whether this part of the walk makes the next disturbed run.
        Every part goes through the same runs in the same order and makes
        every parts-th; job names the run, so that the parts can show
        that they went through the same ones."""
        self.walked.update(repr(job).encode() + b"\0")
        self.jobs += 1
        return (self.jobs - 1) % self.parts == self.part

    def run(self, input, old_image, faults="", ignored=False):
        """A run; ignored: with the interrupts ignored from the start."""
        key = (input, old_image, self.scenario_plan)
        if not faults and not ignored and key in self.undisturbed:
            return self.undisturbed[key]
        got = self.run_once(input, old_image, faults, ignored)
        if not got.trace and not got.stdout and not got.stderr and got.status is not None:
            # The program never ran, as every run of it traces its calls
            # from the start: seen under Wine on a busy machine, about once
            # in two thousand runs, with status 1 and not a byte of output.
            self.repeated += 1
            got = self.run_once(input, old_image, faults, ignored)
        if not faults and not ignored:
            self.undisturbed[key] = got
        return got

    def run_once(self, input, old_image, faults, ignored):
        self.runs += 1
        drives.prepare_drives()
        if old_image:
            drives.write_old_image(PATH, OLD_SIZE)
        faults = ",".join(plan for plan in (self.build.title_plan, self.scenario_plan, faults)
                          if plan)
        with tempfile.NamedTemporaryFile(prefix="tolvera-trace-") as trace, \
                tempfile.NamedTemporaryFile(prefix="tolvera-titles-") as titles:
            env = dict(self.build.environment(), TOLVERA_FAULT=faults,
                       TOLVERA_FAULT_TRACE=trace.name, TOLVERA_TITLE_LOG=titles.name)
            try:
                result = self.build.execute(input, env, os.path.dirname(trace.name), ignored)
                stdout, stderr, status = result.stdout, result.stderr, result.returncode
            except subprocess.TimeoutExpired:
                self.build.hung()
                stdout, stderr, status = b"", b"", None
            calls = [call for call in trace.read().decode().split()
                     if call not in self.build.title_calls]
            shown = titles.read().decode().splitlines()
        return Outcome(stdout, stderr, status, what_is_left(), calls, shown)

    def text(self, data):
        return self.build.text(data)

    def check(self, label, got, expected, after=None, plan=None, skip=(), more=None,
              base=None, upto=None, calls=None):
        """Compares got with expected; after: the calls that must follow the
        last fault of plan, leaving out those in skip; more: the calls more
        or fewer than in base; upto: the index of the first disturbed call,
        up to which the calls are those of base; calls: all of them."""
        problems = []
        if got.status is None:
            problems.append("hung: no end within %d seconds" % self.build.time_limit)
        elif got.titles and got.titles[-1] != USERS_TITLE:
            problems.append("the window's title left as %r, not the user's own"
                            % got.titles[-1])
        for field in ("stdout", "stderr", "status", "left"):
            if got.status is None:
                break
            want = getattr(expected, field)
            have = getattr(got, field)
            if callable(want):
                if not want(have):
                    problems.append("%s %s does not fit" % (field, tail(have)))
            elif have != want:
                problems.append("%s: got %s, expected %s" % (field, tail(have), tail(want)))
        if after is not None:
            have = calls_after(got.trace, plan)
            if have is not None:
                have = [call for call in have if call not in skip]
            if have != after:
                problems.append("calls after %s: %s, expected %s"
                                % (plan.split(",")[-1], have, after))
        if upto is not None and got.trace[:upto + 1] != base.trace[:upto + 1]:
            problems.append("the calls up to the failure differ from the undisturbed run's")
        if calls is not None and got.trace != calls:
            problems.append("calls: %s, expected those of the undisturbed run" % got.trace)
        if more is not None and got.status is not None:
            changed = collections.Counter(got.trace)
            changed.subtract(base.trace)
            changed = {call: count for call, count in changed.items() if count}
            if changed != more:
                problems.append("calls more or fewer than undisturbed: %s, expected %s"
                                % (changed, more))
        if problems:
            self.failures.append(label + "\n  " + "\n  ".join(problems))

    def failure(self, base, behaviour, error, left="nothing"):
        """The outcome of a failure that the program reports with error."""
        message = {"allocate": NO_MEMORY, "create": CANNOT_CREATE,
                   "created": CANNOT_CREATE}.get(behaviour, CANNOT_WRITE)
        # The screen cleared before the work, then the text under which it is done.
        before = b"\n\rLege" if behaviour in ("allocate", "create", "created") else b"Fertig!"
        cut = base.stdout.index(self.text(before))
        status = self.build.errno_value(error) if behaviour == "allocate" else 255
        return Outcome(base.stdout[:cut] + self.text(PROMPT),
                       self.text(error_line(message, error)), status, left, None)

    def expectation(self, scenario, base, behaviours, index, use, fault):
        """The outcome that fault at call number index must lead to."""
        behaviour = behaviours[index]
        left = fault.left(scenario) if callable(fault.left) else fault.left
        if behaviour == "query" and fault.error is not None:
            # Ended right after the drive question, nothing touched.
            question = self.text(DRIVE_QUESTION)
            cut = base.stdout.rindex(question) + len(question)
            return Outcome(base.stdout[:cut] + self.text(PROMPT),
                           self.text(error_line(CANNOT_LOOK, fault.error)), 255,
                           "the old image" if scenario.old_image else "nothing", None)
        if behaviour == "room" and fault.error is not None:
            # Complete, flushed and kept, but told that its room is not
            # held, instead of "Fertig!".
            cut = base.stdout.index(self.text(b"Fertig!"))
            megabytes = base.trace.count(self.build.block_call)
            answer = fault.plan("", 0, pages(base, self.build)).split(":")[-1]
            held = int(answer.lstrip(string.ascii_lowercase))
            if answer.startswith("blocks"):
                held *= 512
            return Outcome(base.stdout[:cut] + self.text(PROMPT),
                           self.text(room_not_held("D", held // drives.MB, megabytes)), 255,
                           base.left, None)
        if behaviour == "storage" and fault.error is not None:
            # Encrypted: told before a block is written, the empty image
            # deleted.
            cut = base.stdout.index(self.text(b"\n\rLege"))
            return Outcome(base.stdout[:cut] + self.text(PROMPT),
                           self.text(image_encrypted("D")), 255, "nothing", None)
        if behaviour == "query" and scenario.absent:
            parts, status = scenario.absent
            return Outcome(self.text(b"".join(parts)), b"", status, "the old image", None)
        if behaviour == "query":
            absent = self.run(scenario.input, False)
            left = absent.left
            if scenario.old_image and left == "nothing":
                left = "the old image"
            return Outcome(absent.stdout, absent.stderr, absent.status, left, None)
        if behaviour == "read":
            return self.run(lines_before(scenario.input, use - 1), scenario.old_image)
        if behaviour == "unlink" and not fault.deleted and scenario.old_image \
                and base.left == "nothing" \
                and "create" not in behaviours[index:]:
            # The failed deletion was the one that removed the old image.
            left = "the old image"
        if fault.error is None or behaviour in ("undisturbed", "unlink"):
            return Outcome(base.stdout, base.stderr, base.status, left or base.left, None)
        return self.failure(base, behaviour, fault.error, left or "nothing")

    def fail(self, scenario, base, behaviours, index, use, fault):
        call = base.trace[index]
        plan = fault.plan(call, use, pages(base, self.build))
        if not self.mine(scenario.name, plan):
            return
        got = self.run(scenario.input, scenario.old_image, plan)
        label = "%s: %s%s" % (scenario.name, plan, " (%s)" % fault.error if fault.error else "")
        expected = self.expectation(scenario, base, behaviours, index, use, fault)
        after = None
        upto = None
        if fault.error is not None:
            after = self.build.clean_up.get(behaviours[index])
            if behaviours[index] == "created" and expected.left != "the old image":
                after = self.build.made_clean_up
            if after is not None:
                after = fault.first + after
                upto = first_disturbed(base.trace, plan, index)
        self.check(label, got, expected, after, plan, more=fault.more, base=base, upto=upto)

    def interrupt(self, scenario, base, roles, index, use, kind):
        """An interrupt that arrives as call number index starts (a look:
        right after it)."""
        call = base.trace[index]
        how, status, name = self.build.interrupt(self.turn)
        self.turn += 1
        plan = "%s:%d:%s" % (call, use, how)
        if not self.mine(scenario.name, plan, kind):
            return
        error = "EINTR"
        if kind == "failing":
            # The failure after the interrupt: its reason comes first.
            fault = roles[index].faults[0]
            plan += "," + fault.plan(call, use)
            error = fault.error
        elif kind == "after look, failing":
            # The next call, the write of the block at hand, fails.
            following = base.trace[index + 1]
            fault = roles[index + 1].faults[0]
            plan += "," + fault.plan(following, base.trace[:index + 2].count(following))
            error = fault.error
        got = self.run(scenario.input, scenario.old_image, plan)
        label = "%s: %s during %s #%d (%s)" % (scenario.name, name, call, use, plan)
        if kind == "before":
            # Nothing is cleaned up and nothing is lost: the program ends
            # on the spot.
            expected = Outcome(base.stdout[:len(self.text(START))], b"", status,
                               "the old image" if scenario.old_image else "nothing", None)
            after = []
        elif kind in ("after", "last look"):
            done = base.stdout.index(self.text(b"Fertig!"))
            expected = Outcome(base.stdout[:done], b"", status, base.left, None)
            after = self.build.last_look_calls if kind == "last look" else []
        else:
            # No more blocks, no exit prompt.
            done = base.stdout.index(self.text(b"Fertig!"))
            expected = Outcome(base.stdout[:done], self.text(error_line(CANNOT_WRITE, error)),
                               status, "nothing", None)
            after = self.build.discard_calls + (
                self.build.passed_on if kind in ("failing", "after look, failing")
                else self.build.interrupted_end)
        skip = self.build.writing_calls
        if kind in ("failing", "after look, failing"):
            skip = self.build.failing_skip
        elif kind == "during":
            # Stopped at the next look, whatever the drive had to finish.
            after = self.build.stop_calls + after
        elif kind == "after look":
            after = base.trace[index + 1:index + 2] + self.build.stop_calls + after
        self.check(label, got, expected, after, plan, skip)
        if self.build.ignorable and kind not in ("failing", "after look, failing"):
            got = self.run(scenario.input, scenario.old_image, plan, ignored=True)
            # Signals ignored from the start are looked at, but not caught.
            got.trace = [call for call in got.trace if call != "sigaction"]
            self.check(label + ", interrupts ignored from the start", got, base,
                       calls=[call for call in base.trace if call != "sigaction"])

    def walk(self, scenario):
        base = self.run(scenario.input, scenario.old_image)
        if not base.trace:
            self.failures.append("%s: the undisturbed run left no trace" % scenario.name)
            return 0
        if base.stdout[-len(self.text(PROMPT)):] != self.text(PROMPT):
            self.failures.append("%s: the undisturbed run did not end at the prompt"
                                 % scenario.name)
            return 0
        roles = []
        before = None
        before_role = None
        pairs = collections.Counter()
        for call in base.trace:
            pairs[(call, before)] += 1
            role = resolve(self.build.roles, call, before, pairs[(call, before)], before_role)
            if role is None:
                self.failures.append("%s: no role for %s after %s" % (scenario.name, call, before))
                return 0
            roles.append(role)
            if call not in self.build.passing_calls:
                before = call
                before_role = role.behaviour
        behaviours = [role.behaviour for role in roles]
        totals = collections.Counter(base.trace)
        uses = collections.Counter()
        sites = 0
        for index, call in enumerate(base.trace):
            uses[call] += 1
            use = uses[call]
            role = roles[index]
            if call in self.build.repeated_calls and 2 < use <= totals[call] - 2:
                continue
            faults = [fault for fault in role.faults
                      if AT[fault.at](use, totals[call]) and fault.when(scenario)]
            kinds = role.interrupts_at(use, totals[call])
            if not faults and not kinds:
                continue
            sites += 1
            for fault in faults:
                self.fail(scenario, base, behaviours, index, use, fault)
            for kind in kinds:
                self.interrupt(scenario, base, roles, index, use, kind)
        return sites

    def console_runs(self):
        """The first scenario with standard output a console: cleared by
        the console's calls, or written as to a pipe where one fails."""
        base = self.run(SCENARIOS[0].input, SCENARIOS[0].old_image)
        clear = self.text(b"\33[H\33[J")
        for plan, cleared in self.build.console_runs:
            if not self.mine("a console", plan):
                continue
            got = self.run(SCENARIOS[0].input, False, plan)
            stdout = base.stdout[len(clear):] if cleared else base.stdout
            self.check("a console: %s" % plan, got,
                       Outcome(stdout, base.stderr, base.status, base.left, None))
        return len(self.build.console_runs)

    def title_runs(self):
        """The first scenario with a console window's title: the titles
        set, by their text."""
        base = self.run(SCENARIOS[0].input, SCENARIOS[0].old_image)
        titled = self.run(SCENARIOS[0].input, False, TITLE_PLAN) if self.build.title_runs else None
        for plan, event in self.build.title_runs:
            if not self.mine("a title", plan):
                continue
            plan = plan.format(last=self.site(titled.trace, "after_interrupt_look", -1),
                               close=self.site(titled.trace, "CloseHandle",
                                               titled.trace.index("FlushFileBuffers")))
            got = self.run(SCENARIOS[0].input, False, plan)
            label = "a title: %s (%s)" % (plan, event or "undisturbed")
            done = base.stdout.index(self.text(b"Fertig!"))
            if event == "no console":
                self.check(label, got, base)
                if got.titles:
                    self.failures.append("%s: titles set without a console: %r"
                                         % (label, got.titles))
                continue
            if event is None:
                self.check(label, got, base)
            elif event in ("last look", "at the close"):
                # The image is complete; the program ends at once.
                self.check(label, got, Outcome(base.stdout[:done], b"",
                                               self.build.interrupted_status,
                                               base.left, None))
            else:
                self.check(label, got, Outcome(
                    base.stdout[:done], self.text(error_line(CANNOT_WRITE, "EINTR")),
                    self.build.interrupted_status, "nothing", None))
            progress = [title for title in got.titles if title.startswith("TOLVERA.IMG: ")]
            if not got.titles or got.titles[-1] != USERS_TITLE:
                self.failures.append("%s: the last title set is %r, not the user's own %r"
                                     % (label, got.titles[-1:], USERS_TITLE))
            elif len(progress) != len(got.titles) - 1 or not progress:
                self.failures.append("%s: titles other than the progress before the user's: "
                                     "%r" % (label, got.titles))
            elif event is None and progress[-1] != FINISHING and "SetConsoleTitleW:2:6" not in plan:
                self.failures.append("%s: the last progress is %r, not %r"
                                     % (label, progress[-1], FINISHING))
            elif progress[0] != "TOLVERA.IMG: 0 % (0 von 100 MB)" and ":1:6" not in plan:
                self.failures.append("%s: the first progress is %r" % (label, progress[0]))
        return len(self.build.title_runs)

    @staticmethod
    def site(trace, call, after):
        """call:use for the last use of call (after -1), or its first use
        after the index after."""
        uses = [index for index, name in enumerate(trace) if name == call]
        index = uses[-1] if after < 0 else min(use for use in uses if use > after)
        return "%s:%d" % (call, uses.index(index) + 1)

    def own_runs(self):
        """The runs of the build's own table, against the first scenario's
        screens."""
        base = self.run(SCENARIOS[0].input, SCENARIOS[0].old_image)
        for input, plan, error in self.build.own_runs:
            if not self.mine(input, plan):
                continue
            got = self.run(input, False, plan)
            after = self.build.clean_up["write"]
            if plan.split(",")[-1].startswith("vfprintf:"):
                # The clean-up goes on after the error line that failed.
                after = after[after.index("vfprintf") + 1:]
            self.check("%r: %s (%s)" % (input, plan, error), got,
                       self.failure(base, "write", error), after, plan)
        return len(self.build.own_runs)


# The walk's runs are spread over parts that run side by side, one a
# core unless TOLVERA_WALK_PARTS says how many: each part in a mount
# namespace of its own (its own drives), the Windows one with its own
# Wine prefix and server.  A part is this script again, told its share in
# TOLVERA_WALK_PART ("1/2") and where to write what it found.
PARTS = "TOLVERA_WALK_PARTS"
PART = "TOLVERA_WALK_PART"
REPORT = "TOLVERA_WALK_REPORT"


def walked_scenarios(name):
    """The scenarios walked on the build of that name."""
    return [scenario for scenario in SCENARIOS if name in scenario.builds]


def walk_part(name, program, part, parts):
    """Walks this part's share; gives what it found."""
    build = BUILDS[name](os.path.abspath(program))
    walk = Walk(build, part, parts)
    counts = []
    try:
        for scenario in walked_scenarios(name):
            walk.scenario_plan = scenario.plan
            counts.append(walk.walk(scenario))
            walk.scenario_plan = ""
        counts += [walk.title_runs(), walk.console_runs(), walk.own_runs()]
    finally:
        build.close()
    return {"counts": counts, "failures": walk.failures, "runs": walk.runs,
            "repeated": walk.repeated, "walked": walk.walked.hexdigest(), "jobs": walk.jobs}


def walk_in_parts(arguments, parts):
    """Starts the parts side by side and gives what each found (None for
    one that ended without saying)."""
    with tempfile.TemporaryDirectory(prefix="tolvera-walk-") as directory:
        reports = [os.path.join(directory, "part%d.json" % part) for part in range(parts)]
        processes = [subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", sys.executable,
             os.path.abspath(__file__), *arguments],
            env=dict(os.environ, **{PART: "%d/%d" % (part, parts), REPORT: reports[part]}))
            for part in range(parts)]
        found = []
        for part, process in enumerate(processes):
            status = process.wait()
            try:
                with open(reports[part]) as f:
                    found.append(json.load(f))
            except FileNotFoundError:
                found.append({"failures": ["part %d of %d ended with status %d and no report"
                                           % (part + 1, parts, status)], "runs": 0,
                              "repeated": 0, "counts": None, "walked": None, "jobs": 0})
        return found


def main():
    arguments = sys.argv[1:]
    if len(arguments) == 2 and arguments[0] in BUILDS:
        name, program = arguments
    elif len(arguments) == 1:
        name, program = "native", arguments[0]
    else:
        sys.exit("usage: walk_faults.py [native|windows] PROGRAM")
    drives.enter_private_namespace()
    if os.environ.get(PART):
        part, parts = (int(number) for number in os.environ[PART].split("/"))
        found = walk_part(name, program, part, parts)
        with open(os.environ[REPORT], "w") as f:
            json.dump(found, f)
        return
    began = time.monotonic()
    parts = int(os.environ.get(PARTS) or len(os.sched_getaffinity(0)))
    found = walk_in_parts(arguments, parts)
    failures = [failure for part in found for failure in part["failures"]]
    # What every part finds the same, it reports once.
    failures = list(dict.fromkeys(failures))
    walked = {(part["walked"], part["jobs"]) for part in found if part["walked"]}
    if len(walked) > 1:
        failures.append("the parts went through different runs: %r" % sorted(walked))
    counts = next((part["counts"] for part in found if part["counts"]), None)
    sites = 0
    if counts:
        for scenario, count in zip(walked_scenarios(name), counts):
            sites += count
            print("%-40s %4d calls failed in turn" % (scenario.name, count))
        for label, count in zip(("runs with a window title", "runs on a console",
                                 "runs with answers of their own"),
                                counts[len(walked_scenarios(name)):]):
            if count:
                print("%-40s %4d" % (label, count))
    for failure in failures:
        print("FAIL " + failure)
    repeated = sum(part["repeated"] for part in found)
    if repeated:
        print("%d runs made again: the program did not start" % repeated)
    print("%s: %d call sites failed in %d scenarios, %d runs in %d parts in %.0f s, %d failures"
          % (name, sites, len(walked_scenarios(name)), sum(part["runs"] for part in found),
             parts, time.monotonic() - began, len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
