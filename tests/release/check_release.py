#!/usr/bin/env python3
"""Checks the download for Windows users: the zip, its sum file, and the
.exe in it.

  /usr/bin/python3 check_release.py build/windows/tolvera-image-<version>-win64.zip

(Debian's python3, for its python3-pefile.)

- The zip holds one folder named like the zip, with tolvera-image.exe and
  LIESMICH.txt, nothing else.
- The .exe imports only DLLs that every Windows has: KERNEL32, msvcrt or
  the UCRT's api-ms-win-crt-* sets; no MinGW runtime DLL
  (x86_64-w64-mingw32-objdump -p).
- The .exe carries its manifest: execution level highestAvailable, and
  Windows 7, 8, 8.1 and 10/11 as supported systems.
- It carries a German version resource (0x0407) with the project's
  version from CMakeLists.txt, in the fixed part and in the strings.
- The sum file beside the zip holds the zip's SHA-256 and its name.
- LIESMICH.txt is 7-bit ASCII with Windows line ends, umlauts written out,
  and says what the user must know: why Windows asks for an
  administrator, the 4095 MB of a FAT32 drive, what Ctrl+C does; the
  size rules (what a MB is, the least size, what is asked again and what
  ends the program) and how many characters of an answer are read, with
  the program's own figures; a drive that compresses new files (what
  the program then says instead of "Fertig!", and how to switch the
  compression off) and an image that Windows would encrypt (how to
  switch that off); which Windows it runs on; and, for the
  SmartScreen warning of an unsigned download, the sum checked with
  Get-FileHash against this zip's sum file before "Trotzdem ausfuehren".
  The version it names is the project's.
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
RT_MANIFEST = 24
SUPPORTED_OS = {
    "Windows 7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "Windows 8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "Windows 8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "Windows 10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
SYSTEM_DLL = re.compile(r"^(kernel32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$", re.IGNORECASE)


def imported_dlls(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                          capture_output=True, text=True).stdout
    return re.findall(r"DLL Name: (\S+)", dump)


def source_text(path):
    with open(os.path.join(HERE, "..", "..", path)) as f:
        return f.read()


def project_version():
    return re.search(r"project\(tolvera-image VERSION ([0-9.]+)",
                     source_text("CMakeLists.txt")).group(1)


def program_figure(path, pattern):
    """A constant of the program's source, so that the guide is checked
    against what the program does."""
    found = re.search(pattern, source_text(path))
    return int(found.group(1)) if found else None


def check_manifest(pe, problems):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    manifests = [e for e in resources.entries if e.id == RT_MANIFEST] if resources else []
    if not manifests:
        problems.append("the .exe has no manifest")
        return
    resource = manifests[0].directory.entries[0].directory.entries[0].data.struct
    text = pe.get_data(resource.OffsetToData, resource.Size).decode()
    if not re.search(r'<requestedExecutionLevel\s+level="highestAvailable"', text):
        problems.append("the manifest does not ask for level highestAvailable")
    for system, guid in SUPPORTED_OS.items():
        if guid not in text:
            problems.append("the manifest does not name %s as supported" % system)


def check_version(pe, version, problems):
    parts = [int(n) for n in (version + ".0").split(".")[:4]]
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    if fixed is None:
        problems.append("the .exe has no version resource")
        return
    for field in ("FileVersion", "ProductVersion"):
        got = [getattr(fixed, field + "MS") >> 16, getattr(fixed, field + "MS") & 0xFFFF,
               getattr(fixed, field + "LS") >> 16, getattr(fixed, field + "LS") & 0xFFFF]
        if got != parts:
            problems.append("the fixed %s is %s, not %s" % (field, got, parts))
    strings = {}
    translations = []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                if table.LangID.lower().startswith(b"0407"):
                    strings = {k.decode(): v.decode() for k, v in table.entries.items()}
        if info.Key == b"VarFileInfo":
            translations = [var.entry.get(b"Translation", "") for var in info.Var]
    if not strings:
        problems.append("the version resource has no German (0407) strings")
    if not any(t.startswith("0x0407") for t in translations):
        problems.append("the version resource's translation is not German: %s" % translations)
    wanted = {"FileVersion": version, "ProductVersion": version,
              "OriginalFilename": "tolvera-image.exe", "InternalName": "tolvera-image"}
    for key, value in wanted.items():
        if strings.get(key) != value:
            problems.append("the version's %s is %r, not %r" % (key, strings.get(key), value))
    if "TOLVERA" not in strings.get("ProductName", ""):
        problems.append("the version's ProductName does not name TOLVERA")
    if not strings.get("FileDescription"):
        problems.append("the version has no FileDescription")


def check_sum(package, problems):
    try:
        with open(package + ".sha256") as f:
            line = f.read()
    except OSError:
        problems.append("no sum file beside the zip")
        return
    with open(package, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    if line.split() != [digest, os.path.basename(package)]:
        problems.append("the sum file says %r, the zip is %s" % (line, digest))


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
            pe = pefile.PE(exe)
            check_manifest(pe, problems)
            check_version(pe, project_version(), problems)
    check_sum(package, problems)

    if not dlls:
        problems.append("the .exe imports nothing: objdump found no import table")
    for dll in dlls:
        if not SYSTEM_DLL.match(dll):
            problems.append("the .exe needs %s, which Windows does not have" % dll)

    check_guide(guide, os.path.basename(package), problems)
    return dlls, problems


def german_number(n):
    """1048576 as German text writes it: 1.048.576."""
    return "{:,}".format(n).replace(",", ".")


def check_guide(guide, package_name, problems):
    if any(byte >= 0x80 for byte in guide):
        problems.append("LIESMICH.txt is not 7-bit ASCII")
    if guide.replace(b"\r\n", b"").count(b"\n") or guide.replace(b"\r\n", b"").count(b"\r"):
        problems.append("LIESMICH.txt has line ends other than CR LF")
    if b"TOLVERA.IMG" not in guide:
        problems.append("LIESMICH.txt does not name the file it is about")
    if re.search(rb"@[A-Za-z_]+@", guide):
        problems.append("LIESMICH.txt has a placeholder left unfilled")
    versions = set(re.findall(rb"Version ([0-9][0-9.]*[0-9])", guide))
    if versions != {project_version().encode()}:
        problems.append("LIESMICH.txt names version %s, the project is %s"
                        % (sorted(v.decode() for v in versions) or "none", project_version()))

    buffer = program_figure("dialogue/console.cpp", r"char answer_buffer\[(\d+)\]")
    least = program_figure("dialogue/questions.cpp", r"least_image_size = (\d+);")
    megabyte = program_figure("platform/platform.h", r"bytes_per_megabyte = (\d+);")
    if None in (buffer, least, megabyte):
        problems.append("the answer buffer, least size or megabyte is not found in dialogue/")
        return
    # Words are looked for across line breaks.
    flat = re.sub(rb"\s+", b" ", guide)
    package = package_name.encode()
    topics = (
        ("the administrator's confirmation", b"Administrator"),
        ("the largest image on a FAT32 drive", b"4095 MB"),
        ("Ctrl+C while writing", b"Strg+C"),
        ("the bytes of a MB", ("%s Bytes" % german_number(megabyte)).encode()),
        ("the least size", b"mindestens %d" % least),
        ("a size too small, asked again", b"unter %d" % least),
        ("a size answer that is no number", b'"abc"'),
        ("the first character of the drive answer", b'"Laufwerk D" bedeutet L:'),
        ("the characters read of an answer", b"ersten %d Zeichen" % (buffer - 1)),
        ("the rest of a long answer dropped", b"verwirft"),
        ("the replacement question after the size", b"USB-Stick erst nach der Eingabe des Buchstabens"),
        ("the drive that compresses new files",
         b'"Laufwerk komprimieren, um Speicherplatz zu sparen"'),
        ("the room that a compressed image does not hold",
         b"belegt auf dem Laufwerk aber nur"),
        ("the image that Windows would encrypt", b"verschluesseln (EFS)"),
        ("how to switch the encryption off", b"cipher /d"),
        ("the SmartScreen warning", b'"Der Computer wurde durch Windows geschuetzt"'),
        ("the sum of this zip", b"Get-FileHash " + package + b" "),
        ("this zip's sum file", package + b".sha256"),
        ("SmartScreen's first button", b'"Weitere Informationen"'),
        ("SmartScreen's second button", b'"Trotzdem ausfuehren"'),
    )
    for topic, words in topics:
        if words not in flat:
            problems.append("LIESMICH.txt says nothing of %s (%r)" % (topic, words))
    # Where the guide quotes the program's messages, they are its own words.
    messages = re.sub(r'"\s*\n\s*"', "", source_text("platform/runtime.cpp"))
    for words in ("Laufwerk komprimieren, um Speicherplatz zu sparen",
                  "belegt auf dem Laufwerk aber nur", "verschluesseln (EFS)", "cipher /d"):
        if words not in messages:
            problems.append("LIESMICH.txt quotes %r, which the program does not say" % words)
    needs = re.search(rb"\r\nVoraussetzungen\r\n-+\r\n(.*?)\r\n\r\n", guide, re.DOTALL)
    if not needs or not all(words in needs.group(1) for words in (b"Windows 7", b"11", b"64-Bit")):
        problems.append("LIESMICH.txt has no requirements saying 64-bit Windows 7 to 11")
    if flat.find(b"Get-FileHash") > flat.find(b'"Trotzdem ausfuehren"'):
        problems.append("LIESMICH.txt does not check the sum before \"Trotzdem ausfuehren\"")


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
