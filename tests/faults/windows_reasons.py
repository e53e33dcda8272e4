#!/usr/bin/env python3
"""Every Windows error code that the Windows program maps, and the German
reason it must show: at a write; for a drive that goes away, at the first
and a later write, the flush and the close; at the open, where a file not
found keeps its meaning; at the look before the replacement question,
which stops the run unless it finds nothing there.  And the few roads of
the Windows platform that need two answers of the seam at once.

  windows_reasons.py build/windows/tolvera-image-faults.exe      (under Wine)

The test build's seam makes the second WriteFile of a new image fail with
the code, so the program's own mapping from GetLastError() to an error
number and the reason for that number run as they would on Windows.  Each
run must end on the write-failure road: the text of the image that cannot
be written with the reason, the exit prompt, status -1, and no image left.

The roads (ROADS): the file system's name unknown when a reservation of
4 GiB is refused as if the drive were full (the drive's reason, not
FAT's); the second, buffered handle, which is closed first, failing to
close after a short write (the close-failure road); a deleted image that
is looked at again; an old image whose only attribute is read-only (it
is made writable, then replaced: an attribute of 0 would change nothing,
and Windows deletes no read-only file), and the same when the attribute
cannot be changed; the program's own deletion still pending; the old
image that cannot be deleted, met again by the creation: the same file
cut and replaced, or by now another file, a link or a folder, none of
them cut; and the closed image whose name another file has taken.
Needs root (the drives are mounts of a private namespace).
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import drives  # noqa: E402
import run_cases  # noqa: E402
from cases import CANNOT_CREATE, CANNOT_LOOK, CANNOT_WRITE  # noqa: E402
from texts import (PROMPT, TITLE, creating, error_line, first_screen,  # noqa: E402
                   image_left, made, replace_screen, size_screen)

# (Windows error code, the error number its reason belongs to), by the
# group the program puts it in.
CODES = [
    # Nothing there; but see GONE for a write.
    (15, "ENOENT"), (18, "ENOENT"), (53, "ENOENT"),
    (67, "ENOENT"), (161, "ENOENT"), (206, "ENOENT"),
    (4, "EMFILE"),
    # Refused.
    (5, "EACCES"), (16, "EACCES"), (65, "EACCES"), (82, "EACCES"), (83, "EACCES"),
    (108, "EACCES"), (132, "EACCES"), (158, "EACCES"), (167, "EACCES"),
    (6, "EBADF"), (114, "EBADF"), (130, "EBADF"),
    (7, "ENOMEM"), (8, "ENOMEM"), (9, "ENOMEM"), (14, "ENOMEM"),
    (80, "EEXIST"), (183, "EEXIST"),
    # A full drive under each of its names, a used-up quota among them.
    (112, "ENOSPC"), (39, "ENOSPC"), (1816, "ENOSPC"),
    (223, "EFBIG"),
    (145, "ENOTEMPTY"),
    # What the runtime's table would call a refused access.
    (19, "EROFS"), (32, "EBUSY"), (33, "EBUSY"),
    (23, "EIO"), (27, "EIO"), (29, "EIO"), (30, "EIO"), (31, "EIO"), (1117, "EIO"),
    # The rest of the runtime's range of refused accesses.
    (20, "EACCES"), (34, "EACCES"), (36, "EACCES"),
    # A drive without a medium.
    (1112, "ENXIO"),
    # Anything else.
    (1, "EINVAL"), (87, "EINVAL"), (50, "EINVAL"), (1784, "EINVAL"),
]


# A drive that goes away while the image is written: the codes that the
# write at hand, the later calls on the handle and a dismounted volume
# give, at the first and a later write, the flush and the close.  A file
# or path not found, or a drive not ready, once the image is open, can
# only mean that the drive is gone.
GONE = [(2, "ENODEV"), (3, "ENODEV"), (21, "ENODEV"), (55, "ENODEV"), (1006, "ENODEV"),
        (1167, "ENODEV"), (1617, "ENODEV"), (1117, "EIO")]
# The first and the 60th block, the flush after the last, the image's
# close (the look before found nothing to close).
GONE_AT = ["WriteFile:1", "WriteFile:60", "FlushFileBuffers:1", "CloseHandle:1"]
# Before the image is open, they keep their meaning: at its creation, the
# second CreateFileA, after the look's.
AT_OPEN = [(2, "ENOENT"), (3, "ENOENT"), (21, "ENXIO"), (55, "ENODEV"), (1112, "ENXIO")]
# The look at the image path before the replacement question: only
# nothing there goes on; anything else stops before the old image is
# touched.
LOOK_STOPS = [(5, "EACCES"), (1117, "EIO"), (32, "EBUSY"), (87, "EINVAL")]
LOOK_NOTHING = [2, 3, 15, 21, 1112]


OLD_SIZE = 100 * drives.MB
FAILED = (first_screen() + size_screen("D") + creating("D") + PROMPT)
REPLACE = first_screen() + replace_screen("D", 100) + size_screen("D")
# The old image's deletion refused, so that the creation meets it again.
UNDELETED = "SetFileInformationByHandle:1:5"
# (what it shows, input, the mode of an old image there or None, plan,
# error line or None, standard output, status, what is left: nothing
# (None), an image of so many megabytes, or the old image; calls the
# trace must hold)
ROADS = [
    ("4 GiB refused, the file system unknown", b"d\n4096\n\n", None,
     "SetFileInformationByHandle:1:112,GetVolumeInformationByHandleW:1:5",
     (CANNOT_WRITE, "ENOSPC"),
     FAILED, 255, None, {"WriteFile": 0}),
    ("the buffered handle fails to close", b"d\n100\n\n", None,
     "WriteFile:2:short,CloseHandle:1:6", (CANNOT_WRITE, "EBADF"), FAILED, 255, None,
     {"ReOpenFile": 1}),
    # A write that writes nothing and says nothing is a failing device.
    ("a write of no bytes", b"d\n100\n\n", None, "WriteFile:2:zero",
     (CANNOT_WRITE, "EIO"), FAILED, 255, None, {}),
    # The look after the deletion: a file that a scanner holds for a
    # moment answers access denied, and is looked at again a tenth of a
    # second later; still there after ten looks, it is named.
    # (The first CreateFileA is the look, the second the creation.)
    ("a deleted image looked at again", b"d\n100\n\n", None,
     "WriteFile:2:112,CreateFileA:3:5", (CANNOT_WRITE, "ENOSPC"), FAILED, 255, None,
     {"Sleep": 1}),
    ("a deleted image still there after ten looks is named", b"d\n100\n\n", None,
     "WriteFile:2:112," + ",".join("CreateFileA:%d:5" % use for use in range(3, 13)),
     error_line(CANNOT_WRITE, "ENOSPC") + image_left("D"), FAILED, 255, None, {"Sleep": 9}),
    # An old image whose only attribute is read-only loses it (an
    # attribute of 0 would change nothing), then goes: once with POSIX
    # semantics, which Wine refuses, then at the close.
    ("an old image that is only read-only is replaced", b"d\nj\n100\n\n", 0o444,
     "GetFileInformationByHandle:2:readonly", None, REPLACE + made("D"), 0, 100,
     {"SetFileInformationByHandle": 4}),
    # Its attribute cannot be changed: it is not deleted, and the creation
    # meets the same file.  Windows refuses to open a read-only file for
    # writing (ERROR_ACCESS_DENIED, the road of the folder below); Wine,
    # run as root here, opens it, and it is cut and replaced.
    ("... and when its attribute cannot be changed", b"d\nj\n100\n\n", 0o444,
     "GetFileInformationByHandle:2:readonly,SetFileInformationByHandle:1:5",
     None, REPLACE + made("D"), 0, 100, {"SetEndOfFile": 1}),
    # The program's own deletion, still pending where a scanner holds the
    # file, refuses the creation for a moment: it is tried again after a
    # growing pause (the third CreateFileA is the look that finds the old
    # image gone, the fourth the creation), for about a second.
    ("a file deleted here and still pending is tried again", b"d\nj\n100\n\n", 0o644,
     "CreateFileA:4:5,CreateFileA:5:5", None, REPLACE + made("D"), 0, 100, {"Sleep": 2}),
    ("... and refused after eight tries", b"d\nj\n100\n\n", 0o644,
     ",".join("CreateFileA:%d:5" % use for use in range(4, 12)), (CANNOT_CREATE, "EACCES"),
     REPLACE + TITLE + PROMPT, 255, None, {"Sleep": 7, "CreateFileA": 11}),
    # The agreed file, its deletion refused, is still there for the
    # creation: the same plain file is cut to nothing and written.
    ("an old image that cannot be deleted is cut and replaced", b"d\nj\n100\n\n", 0o644,
     UNDELETED, None, REPLACE + made("D"), 0, 100, {"SetEndOfFile": 1}),
    # ... but by now another file, a link, or a folder (which Windows
    # refuses to open without FILE_FLAG_BACKUP_SEMANTICS): the other file
    # is asked about, the rest refused, and none of them cut.  (The third
    # GetFileInformationByHandle is the creation's, the fourth CreateFileA
    # its open of the agreed file.)
    ("... and another file by now is asked about, 'n' keeps it", b"d\nj\n100\nn\n", 0o644,
     UNDELETED + ",GetFileInformationByHandle:3:other", None,
     REPLACE + TITLE + replace_screen("D", 100) + PROMPT, 0, "old", {"SetEndOfFile": 0}),
    ("... and a link by now is refused", b"d\nj\n100\n\n", 0o644,
     UNDELETED + ",GetFileInformationByHandle:3:reparse", (CANNOT_CREATE, "ELOOP"),
     REPLACE + TITLE + PROMPT, 255, "old", {"SetEndOfFile": 0}),
    ("... and a folder by now is refused", b"d\nj\n100\n\n", 0o644,
     UNDELETED + ",CreateFileA:4:5", (CANNOT_CREATE, "EACCES"),
     REPLACE + TITLE + PROMPT, 255, "old", {"SetEndOfFile": 0}),
    # ... and where it cannot be told or cut: kept as it was, the reason
    # told.
    ("... and cannot be told", b"d\nj\n100\n\n", 0o644,
     UNDELETED + ",GetFileInformationByHandle:3:1", (CANNOT_CREATE, "EINVAL"),
     REPLACE + TITLE + PROMPT, 255, "old", {"SetEndOfFile": 0}),
    ("... and cannot be cut", b"d\nj\n100\n\n", 0o644,
     UNDELETED + ",SetEndOfFile:1:1117", (CANNOT_CREATE, "EIO"),
     REPLACE + TITLE + PROMPT, 255, "old", {"SetEndOfFile": 1}),
    # The image, closed after a failure (its close failed), is deleted as
    # itself: a file that has taken its name by now (the second
    # GetFileInformationByHandle shows another) stays.
    ("a file that has taken the closed image's name is not deleted", b"d\n100\n\n", None,
     "CloseHandle:1:1117,GetFileInformationByHandle:2:other", (CANNOT_WRITE, "EIO"),
     first_screen() + size_screen("D") + creating("D") + PROMPT, 255, 100,
     {"SetFileInformationByHandle": 1}),
]


def roads(wine):
    failures = 0
    for label, input, old, plan, reason, stdout, status, left, calls in ROADS:
        drives.prepare_drives()
        if old is not None:
            drives.write_old_image(drives.image_path("D"), OLD_SIZE, old)
        with tempfile.NamedTemporaryFile(prefix="tolvera-trace-") as trace:
            env = dict(wine.env, TOLVERA_FAULT=plan, TOLVERA_FAULT_TRACE=trace.name)
            result = subprocess.run(wine.command, input=input, capture_output=True, env=env,
                                    timeout=60, cwd=os.path.dirname(trace.name))
            traced = trace.read().decode().split()
        problems = []
        wanted = (reason if isinstance(reason, bytes) else error_line(*reason)) if reason else b""
        if result.stderr != wanted.replace(b"\n", b"\r\n"):
            problems.append("standard error %r" % result.stderr)
        if result.stdout != stdout.replace(b"\n", b"\r\n"):
            problems.append("standard output ends %r" % result.stdout[-80:])
        if result.returncode != status:
            problems.append("status %d, expected %d" % (result.returncode, status))
        path = drives.image_path("D")
        if left is None and os.path.lexists(path):
            problems.append("an image was left")
        elif left == "old":
            if not drives.old_image_intact(path, OLD_SIZE):
                problems.append("the old image was changed")
        elif left is not None:
            problem = drives.zero_image_problem(path, left)
            if problem:
                problems.append(problem)
        for call, count in calls.items():
            if traced.count(call) != count:
                problems.append("%d calls of %s, expected %d" % (traced.count(call), call, count))
        if problems:
            failures += 1
            print("FAIL %s (%s): %s" % (label, plan, "; ".join(problems)))
        else:
            print("ok   %s" % label)
    return failures


FAILED_OPEN = first_screen() + size_screen("D") + TITLE + PROMPT
STOPPED_AT_LOOK = first_screen() + PROMPT


def runs():
    """(label, input, old image there, plan, standard output, standard
    error, status, the old image kept or else no image left)."""
    new = b"d\n100\n\n"
    for code, name in CODES:
        yield ("code %d: %s" % (code, name), new, False, "WriteFile:2:%d" % code, FAILED,
               error_line(CANNOT_WRITE, name), 255, False)
    for code, name in GONE:
        for site in GONE_AT:
            yield ("%s fails with %d: %s" % (site, code, name), new, False,
                   "%s:%d" % (site, code), FAILED, error_line(CANNOT_WRITE, name), 255, False)
    for code, name in AT_OPEN:
        yield ("the open fails with %d: %s" % (code, name), new, False, "CreateFileA:2:%d" % code,
               FAILED_OPEN, error_line(CANNOT_CREATE, name), 255, False)
    for code, name in LOOK_STOPS:
        yield ("the look fails with %d: %s, the old image kept" % (code, name), b"d\nj\n100\n\n",
               True, "CreateFileA:1:%d" % code, STOPPED_AT_LOOK,
               error_line(CANNOT_LOOK, name), 255, True)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: windows_reasons.py PROGRAM.exe")
    drives.enter_private_namespace()
    wine = run_cases.Windows(sys.argv[1])
    failures = 0
    count = 0
    path = drives.image_path("D")
    try:
        for label, input, old, plan, stdout, stderr, status, kept in runs():
            count += 1
            drives.prepare_drives()
            if old:
                drives.write_old_image(path, OLD_SIZE)
            env = dict(wine.env, TOLVERA_FAULT=plan)
            result = subprocess.run(wine.command, input=input, capture_output=True,
                                    env=env, timeout=60)
            problems = []
            wanted = stderr.replace(b"\n", b"\r\n")
            if result.stderr != wanted:
                problems.append("standard error %r, expected %r" % (result.stderr, wanted))
            if result.stdout != stdout.replace(b"\n", b"\r\n"):
                problems.append("standard output ends %r" % result.stdout[-80:])
            if result.returncode != status:
                problems.append("status %d, expected %d" % (result.returncode, status))
            if kept and not drives.old_image_intact(path, OLD_SIZE):
                problems.append("the old image was changed")
            if not kept and os.path.lexists(path):
                problems.append("an image was left")
            if problems:
                failures += 1
                print("FAIL %s (%s): %s" % (label, plan, "; ".join(problems)))
            else:
                print("ok   %s" % label)
        for code in LOOK_NOTHING:
            count += 1
            failures += look_finds_nothing(wine, code)
        failures += roads(wine)
    finally:
        wine.close()
    print("%d runs, %d roads, %d failures" % (count, len(ROADS), failures))
    sys.exit(1 if failures else 0)


def look_finds_nothing(wine, code):
    """A look that says nothing is there goes on to the size question."""
    drives.prepare_drives()
    env = dict(wine.env, TOLVERA_FAULT="CreateFileA:1:%d" % code)
    result = subprocess.run(wine.command, input=b"d\n100\n\n", capture_output=True, env=env,
                            timeout=60)
    wanted = first_screen() + size_screen("D") + made("D")
    problem = drives.zero_image_problem(drives.image_path("D"), 100)
    if result.stdout != wanted.replace(b"\n", b"\r\n") or result.returncode != 0 or problem:
        print("FAIL the look fails with %d, nothing there: status %d, %s, output ends %r"
              % (code, result.returncode, problem, result.stdout[-80:]))
        return 1
    print("ok   the look fails with %d: nothing there" % code)
    return 0


if __name__ == "__main__":
    main()
