#!/usr/bin/env python3
"""Every Windows error code that the Windows program maps, and the German
reason it must show; and the few roads of the Windows platform that need
two answers of the seam at once.

  windows_reasons.py build/windows/tolvera-image-faults.exe      (under Wine)

The test build's seam makes the second WriteFile of a new image fail with
the code, so the program's own mapping from GetLastError() to an error
number and the reason for that number run as they would on Windows.  Each
run must end on the write-failure road: the text of the image that cannot
be written with the reason, the exit prompt, status -1, and no image left.

The roads (ROADS): the file system's name unknown when a reservation of
4 GiB is refused as if the drive were full (the drive's reason, not
FAT's); the second, buffered handle failing to close after a short
write (the close-failure road); an old image whose only attribute is
read-only (it is made writable, then replaced: an attribute of 0 would
change nothing, and neither Windows nor Wine deletes a read-only file;
the image's own mode change would then have to clear it once more), and
the same when the attribute cannot be changed (not looked at: the run
goes on; under Wine, run as root here, the creation opens the read-only
file and the image's own mode change clears it).
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
from cases import CANNOT_CREATE, CANNOT_WRITE  # noqa: E402
from texts import (PROMPT, creating, error_line, first_screen, made,  # noqa: E402
                   replace_screen, size_screen, TITLE)

# (Windows error code, the error number its reason belongs to), by the
# group the program puts it in.
CODES = [
    # Nothing there.
    (2, "ENOENT"), (3, "ENOENT"), (15, "ENOENT"), (18, "ENOENT"), (53, "ENOENT"),
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
    (19, "EROFS"), (21, "ENXIO"), (32, "EBUSY"), (33, "EBUSY"),
    (23, "EIO"), (27, "EIO"), (29, "EIO"), (30, "EIO"), (31, "EIO"), (1117, "EIO"),
    # The rest of the runtime's range of refused accesses.
    (20, "EACCES"), (34, "EACCES"), (36, "EACCES"),
    # Anything else.
    (1, "EINVAL"), (87, "EINVAL"), (50, "EINVAL"), (1784, "EINVAL"),
]


OLD_SIZE = 100 * drives.MB
FAILED = (first_screen() + size_screen("D") + creating("D") + PROMPT)
# (what it shows, input, an old read-only image there, plan, error line
# or None, standard output, status, what is left: nothing (None), an
# image of so many megabytes, or the old image; calls the trace must hold)
ROADS = [
    ("4 GiB refused, the file system unknown", b"d\n4096\n\n", False,
     "SetFileInformationByHandle:1:112,GetVolumeInformationByHandleW:1:5",
     (CANNOT_WRITE, "ENOSPC"),
     FAILED, 255, None, {"WriteFile": 0}),
    ("the buffered handle fails to close", b"d\n100\n\n", False,
     "WriteFile:2:short,CloseHandle:2:6", (CANNOT_WRITE, "EBADF"), FAILED, 255, None,
     {"ReOpenFile": 1}),
    ("an old image that is only read-only is replaced", b"d\nj\n100\n\n", True,
     "GetFileInformationByHandleEx:1:readonly", None,
     first_screen() + replace_screen("D", 100) + size_screen("D") + made("D"), 0, 100,
     {"SetFileInformationByHandle": 2}),
    ("... and when its attribute cannot be changed", b"d\nj\n100\n\n", True,
     "GetFileInformationByHandleEx:1:readonly,SetFileInformationByHandle:1:5",
     None, first_screen() + replace_screen("D", 100) + size_screen("D") + made("D"), 0, 100,
     {"SetFileInformationByHandle": 3}),
]


def roads(wine):
    failures = 0
    for label, input, old, plan, reason, stdout, status, left, calls in ROADS:
        drives.prepare_drives()
        if old:
            drives.write_old_image(drives.image_path("D"), OLD_SIZE, 0o444)
        with tempfile.NamedTemporaryFile(prefix="tolvera-trace-") as trace:
            env = dict(wine.env, TOLVERA_FAULT=plan, TOLVERA_FAULT_TRACE=trace.name)
            result = subprocess.run(wine.command, input=input, capture_output=True, env=env,
                                    timeout=60, cwd=os.path.dirname(trace.name))
            traced = trace.read().decode().split()
        problems = []
        wanted = error_line(*reason) if reason else b""
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


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: windows_reasons.py PROGRAM.exe")
    drives.enter_private_namespace()
    wine = run_cases.Windows(sys.argv[1])
    failures = 0
    try:
        expected_out = (first_screen() + size_screen("D") + creating("D") +
                        PROMPT).replace(b"\n", b"\r\n")
        for code, name in CODES:
            drives.prepare_drives()
            env = dict(wine.env, TOLVERA_FAULT="WriteFile:2:%d" % code)
            result = subprocess.run(wine.command, input=b"d\n100\n\n", capture_output=True,
                                    env=env, timeout=60)
            problems = []
            wanted = error_line(CANNOT_WRITE, name).replace(b"\n", b"\r\n")
            if result.stderr != wanted:
                problems.append("standard error %r, expected %r" % (result.stderr, wanted))
            if result.stdout != expected_out:
                problems.append("standard output ends %r" % result.stdout[-80:])
            if result.returncode != 255:
                problems.append("status %d, expected 255" % result.returncode)
            if os.path.lexists(drives.image_path("D")):
                problems.append("an image was left")
            if problems:
                failures += 1
                print("FAIL code %d (%s): %s" % (code, name, "; ".join(problems)))
            else:
                print("ok   code %d: %s" % (code, name))
        failures += roads(wine)
    finally:
        wine.close()
    print("%d codes, %d roads, %d failures" % (len(CODES), len(ROADS), failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
