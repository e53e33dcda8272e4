#!/usr/bin/env python3
"""Every Windows error code that the Windows program maps, and the German
reason it must show.

  windows_reasons.py build/windows/tolvera-image-faults.exe      (under Wine)

The test build's seam makes the second WriteFile of a new image fail with
the code, so the program's own mapping from GetLastError() to an error
number and the reason for that number run as they would on Windows.  Each
run must end on the write-failure road: the text of the image that cannot
be written with the reason, the exit prompt, status -1, and no image left.
Needs root (the drives are mounts of a private namespace).
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import drives  # noqa: E402
import run_cases  # noqa: E402
from cases import CANNOT_WRITE  # noqa: E402
from texts import PROMPT, creating, error_line, first_screen, size_screen  # noqa: E402

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
    finally:
        wine.close()
    print("%d codes, %d failures" % (len(CODES), failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
