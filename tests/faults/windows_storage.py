#!/usr/bin/env python3
"""What a drive does with the new image's data, through the Windows seam:
a new image that comes out compressed (its folder marked to compress new
files), one that comes out encrypted (EFS), and the room that the flushed
image holds on the drive.

  windows_storage.py build/windows/tolvera-image-faults.exe      (under Wine)

Wine shows no file compressed or encrypted, and refuses to switch
compression off, so the seam answers for the drive (see
tests/seams/windows_seam.cpp) and logs every DeviceIoControl with its
control code, input, result and the file it was asked on.  Each run is
checked for its standard output and error, status, what is left at the
image path, the controls asked, and where they come in its call trace:

- compressed: FSCTL_SET_COMPRESSION (0x9C040) with COMPRESSION_FORMAT_NONE
  (a USHORT 0) on the image's own handle, once, before the reservation and
  the first block; done, or refused as Wine refuses it (50) where the
  drive then holds the image's room: "Fertig!";
- refused, and the image holding none of its room: the complete image is
  kept, the user told what that means and what to do, no "Fertig!",
  status -1;
- the storage that GetCompressedFileSize reports (NTFS's measure of a
  compressed file), or the allocation of FileStandardInfo (Wine's, from the
  Unix file's blocks), below the size: the same;
- encrypted: told before anything is written, the empty image deleted (or
  named where that fails), status -1; also where an old encrypted image
  that the user agreed to replace could not be deleted and the creation
  cut it to nothing (an overwritten file keeps its encryption).
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
from texts import (PROMPT, TITLE, creating, first_screen, image_encrypted,  # noqa: E402
                   image_left, made, replace_screen, room_not_held, size_screen)

FSCTL_SET_COMPRESSION = 0x9C040
COMPRESSION_FORMAT_NONE = "0000"  # a USHORT, little-endian
ERROR_NOT_SUPPORTED = 50
NEW = b"d\n100\n\n"
MADE = first_screen() + size_screen("D") + made("D")
NOT_MADE = first_screen() + size_screen("D") + creating("D") + PROMPT
NOT_CREATED = first_screen() + size_screen("D") + TITLE + PROMPT
# The attributes of the new image are looked at right after its creation
# (the first GetFileInformationByHandleEx), its allocation after the
# flush.
ATTRIBUTES = "GetFileInformationByHandleEx:1"
ALLOCATION = "GetFileInformationByHandleEx:2"
SWITCH_OFF = ("%08x %s" % (FSCTL_SET_COMPRESSION, COMPRESSION_FORMAT_NONE))


class Case:
    """input, an old image there, plan; then what must come of it: standard
    output and error, status, what is left (None: nothing, a number: an
    image of so many MB, "empty": an empty file), the results of the
    switch-off asked (1, or the error code), the calls that must not be in
    the trace."""

    def __init__(self, label, plan, stdout, stderr, status, left, switched=(), absent=(),
                 input=NEW, old=False):
        self.label = label
        self.plan = plan
        self.stdout = stdout
        self.stderr = stderr
        self.status = status
        self.left = left
        self.switched = switched
        self.absent = absent
        self.input = input
        self.old = old


CASES = [
    Case("a new image that comes out compressed: switched off, then made",
         ATTRIBUTES + ":compressed,DeviceIoControl:1:ok", MADE, b"", 0, 100, switched=["1"]),
    Case("the switch-off refused as Wine refuses it, the room held here: made",
         ATTRIBUTES + ":compressed", MADE, b"", 0, 100,
         switched=["0 %d" % ERROR_NOT_SUPPORTED]),
    Case("the switch-off refused, the image holding none of its room: told, kept",
         ATTRIBUTES + ":compressed,DeviceIoControl:1:1,GetCompressedFileSizeA:1:bytes0",
         NOT_MADE, room_not_held("D", 0, 100), 255, 100, switched=["0 1"]),
    Case("the storage the image uses below its size: told, kept",
         "GetCompressedFileSizeA:1:bytes%d" % (12 * drives.MB + 4096), NOT_MADE,
         room_not_held("D", 12, 100), 255, 100),
    Case("its allocation below its size: told, kept",
         ALLOCATION + ":allocated0", NOT_MADE, room_not_held("D", 0, 100), 255, 100),
    Case("a new image that comes out encrypted: told, nothing written, deleted",
         ATTRIBUTES + ":encrypted", NOT_CREATED, image_encrypted("D"), 255, None,
         # (Under Wine the reservation is always followed by the drive's
         # free room; SetFileInformationByHandle is also the deletion's.)
         absent=("VirtualAlloc", "GetDiskFreeSpaceExA", "WriteFile", "DeviceIoControl")),
    # (The deletion set on the image's handle refused: the first
    # SetFileInformationByHandle.)
    Case("... and where its deletion fails, it is named",
         ATTRIBUTES + ":encrypted,SetFileInformationByHandle:1:5", NOT_CREATED,
         image_encrypted("D") + image_left("D"), 255, "empty", absent=("WriteFile",)),
    # The old image could not be deleted (its deletion refused), and the
    # creation cut it to nothing: an old encrypted file stays encrypted.
    Case("an old encrypted image that the creation cut to nothing: told, deleted",
         "SetFileInformationByHandle:1:5," + ATTRIBUTES + ":encrypted",
         first_screen() + replace_screen("D", 100) + size_screen("D") + TITLE + PROMPT,
         image_encrypted("D"), 255, None, absent=("WriteFile",), input=b"d\nj\n100\n\n",
         old=True),
]


def left_problem(left):
    path = drives.image_path("D")
    if left is None:
        return "an image was left" if os.path.lexists(path) else None
    if left == "empty":
        if not os.path.isfile(path) or os.path.getsize(path):
            return "no empty file is left"
        return None
    return drives.zero_image_problem(path, left)


def run(wine, case):
    drives.prepare_drives()
    if case.old:
        drives.write_old_image(drives.image_path("D"), 100 * drives.MB)
    with tempfile.TemporaryDirectory(prefix="tolvera-storage-") as directory:
        trace = os.path.join(directory, "trace")
        controls = os.path.join(directory, "controls")
        env = dict(wine.env, TOLVERA_FAULT=case.plan, TOLVERA_FAULT_TRACE=trace,
                   TOLVERA_CONTROL_LOG=controls)
        result = subprocess.run(wine.command, input=case.input, capture_output=True, env=env,
                                timeout=60, cwd=directory)
        calls = open(trace).read().split() if os.path.exists(trace) else []
        asked = open(controls).read().splitlines() if os.path.exists(controls) else []
    problems = []
    if result.stdout != case.stdout.replace(b"\n", b"\r\n"):
        problems.append("standard output ends %r" % result.stdout[-120:])
    if result.stderr != case.stderr.replace(b"\n", b"\r\n"):
        problems.append("standard error %r" % result.stderr)
    if result.returncode != case.status:
        problems.append("status %d, expected %d" % (result.returncode, case.status))
    problem = left_problem(case.left)
    if problem:
        problems.append(problem)
    # The control code, its value, its result, and the image's own handle.
    wanted = ["%s %s" % (SWITCH_OFF, outcome) for outcome in case.switched]
    got = [line.rsplit(" ", 1)[0] for line in asked]
    if got != wanted:
        problems.append("controls asked %r, expected %r" % (asked, wanted))
    for line in asked:
        if not line.upper().endswith("\\TOLVERA.IMG"):
            problems.append("a control asked on another file than the image: %r" % line)
    if case.switched and "DeviceIoControl" in calls:
        ahead = [call for call in ("SetFileInformationByHandle", "WriteFile") if call in calls
                 and calls.index(call) < calls.index("DeviceIoControl")]
        if ahead:
            problems.append("%s before compression was switched off" % " and ".join(ahead))
    for call in case.absent:
        if call in calls:
            problems.append("%s was called" % call)
    if problems:
        print("FAIL %s (%s): %s" % (case.label, case.plan, "; ".join(problems)))
        return 1
    print("ok   %s" % case.label)
    return 0


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: windows_storage.py PROGRAM.exe")
    drives.enter_private_namespace()
    wine = run_cases.Windows(sys.argv[1])
    try:
        failures = sum(run(wine, case) for case in CASES)
    finally:
        wine.close()
    print("%d cases, %d failures" % (len(CASES), failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
