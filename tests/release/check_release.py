#!/usr/bin/env python3
"""Checks the download for Windows users: the zip and the .exe in it.

  check_release.py build/windows/tolvera-image-<version>-win64.zip

- The zip holds one folder named like the zip, with tolvera-image.exe and
  LIESMICH.txt, nothing else.
- The .exe imports only DLLs that every Windows has: KERNEL32, msvcrt or
  the UCRT's api-ms-win-crt-* sets; no MinGW runtime DLL
  (x86_64-w64-mingw32-objdump -p).
- LIESMICH.txt is 7-bit ASCII with Windows line ends, umlauts written out.
"""

import os
import re
import subprocess
import sys
import tempfile
import zipfile

SYSTEM_DLL = re.compile(r"^(kernel32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$", re.IGNORECASE)


def imported_dlls(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                          capture_output=True, text=True).stdout
    return re.findall(r"DLL Name: (\S+)", dump)


def check(package):
    """The DLLs the .exe imports, and what is wrong with the package."""
    problems = []
    folder = os.path.basename(package)[:-len(".zip")]
    with zipfile.ZipFile(package) as archive:
        names = sorted(n for n in archive.namelist() if not n.endswith("/"))
        expected = sorted([folder + "/tolvera-image.exe", folder + "/LIESMICH.txt"])
        if names != expected:
            return [], ["the zip holds %s, expected %s" % (names, expected)]
        guide = archive.read(folder + "/LIESMICH.txt")
        with tempfile.TemporaryDirectory() as scratch:
            exe = archive.extract(folder + "/tolvera-image.exe", scratch)
            dlls = imported_dlls(exe)

    if not dlls:
        problems.append("the .exe imports nothing: objdump found no import table")
    for dll in dlls:
        if not SYSTEM_DLL.match(dll):
            problems.append("the .exe needs %s, which Windows does not have" % dll)

    if any(byte >= 0x80 for byte in guide):
        problems.append("LIESMICH.txt is not 7-bit ASCII")
    if guide.replace(b"\r\n", b"").count(b"\n") or guide.replace(b"\r\n", b"").count(b"\r"):
        problems.append("LIESMICH.txt has line ends other than CR LF")
    if b"TOLVERA.IMG" not in guide:
        problems.append("LIESMICH.txt does not name the file it is about")
    return dlls, problems


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check_release.py PACKAGE.zip")
    dlls, problems = check(sys.argv[1])
    for problem in problems:
        print("FAIL " + problem)
    if not problems:
        print("ok   %s: imports %s" % (os.path.basename(sys.argv[1]), ", ".join(dlls)))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
