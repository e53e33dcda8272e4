#!/usr/bin/env python3
"""The image on real file systems on loop devices, and interrupts while it
is written.

  run_disk.py native  build/native/tolvera-image
  run_disk.py windows build/windows/tolvera-image.exe      (under Wine)

native, on ext4, xfs and btrfs, each made anew in a file under /var/tmp
and mounted as drive D: in a private mount namespace:
- a new image, traced with strace: the whole size reserved before the
  first block, one write per block, the write-back started while writing,
  fsync after the last block and before the close; then at most 64 MiB of
  the image still in the page cache (fincore), and the image complete;
- a drive too small (1000 MB asked of 512 MB): the error at once, before a
  single block is written, and nothing left;
- a size beyond the file system's largest file: the same;
- on ext4, SIGINT, SIGTERM and SIGHUP while a 6000 MB image is written:
  the error text for EINTR, no exit prompt, the process ended by that
  signal within seconds, and no image left;
- a drive that fills up while the user presses Ctrl+C (held_full_fs.py:
  it takes 50 MiB, then holds the next write for 4 seconds and answers
  ENOSPC; SIGINT arrives during the held write): the full drive's reason,
  no exit prompt, the end by the signal once the write returned, and no
  image left.  The same on the Windows program below, where the order of
  the handler's wait and the end once made the program hang.

windows, under Wine with drive D: on ext4:
- WINEDEBUG=+relay: the process error mode set at start, so that no
  system box asks for a medium; the path opened without following a link
  (see links_not_followed); each block is one WriteFile of 1,048,576 bytes on the
  image's handle; the reservation (SetFileInformationByHandle with
  FileAllocationInfo) is tried before the first block and Wine's refusal
  is no failure; FlushFileBuffers comes after the last block and before
  CloseHandle;
- Ctrl+C on the drive that fills up while it is pressed, as above: the
  full drive's reason, STATUS_CONTROL_C_EXIT (or, where Wine hands the
  event over only once the held write returned, status 0 from Wine's
  own handler at the exit prompt), no image, no hang;
- the image opened with FILE_FLAG_NO_BUFFERING, and each WriteFile's
  buffer address, length and offset in the file a multiple of 4096
  bytes: Wine neither writes past its cache nor refuses a misaligned
  write, so the trace checks what Windows would refuse;
- Ctrl+C: Wine turns a SIGINT sent to the .exe's own process into
  CTRL_C_EVENT for the console control handlers.  The run ends with
  STATUS_CONTROL_C_EXIT (0xC000013A; Wine passes its low byte, 58, to the
  shell), the error text on standard error and no image left.

both, on ntfs-3g and exFAT, through FUSE, where nothing can be reserved;
each write on the image is seen with strace (for Wine's too, by the
descriptor's path):
- a drive too small (1000 MB asked of 300 MB): the full drive's reason
  before a single write, from the free space the drive reports;
- a drive that another program fills while the image is written (the
  program stopped after its first block, once the free space is checked):
  the last write comes short, the one for the rest is refused for lack of
  space, and the full drive's reason is shown, with nothing left.

Needs root (loop devices, mounts).
"""

import errno
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import drives  # noqa: E402
from cases import CANNOT_WRITE  # noqa: E402
from texts import (PROMPT, creating, error_line, first_screen, image_left,  # noqa: E402
                   made, size_screen)

MB = drives.MB
PATH = drives.image_path("D")
CACHE_LIMIT = 64 * MB
INTERRUPTS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
STATUS_CONTROL_C_EXIT = 0xC000013A

FILE_SYSTEMS = {
    "ext4": ["mkfs.ext4", "-q", "-F"],
    "xfs": ["mkfs.xfs", "-q", "-f"],
    "btrfs": ["mkfs.btrfs", "-q", "-f"],
}


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def usual_interrupts():
    """As from a terminal: the test runner may have started us with
    interrupts ignored, and the program leaves ignored ones alone."""
    for number in INTERRUPTS:
        signal.signal(number, signal.SIG_DFL)


# Drivers in user space, through FUSE: the kernel here has none for these
# file systems, and neither driver can reserve space for a file.  Both
# want a block device, so their file system lies on a loop device.
FUSE_FILE_SYSTEMS = {
    "ntfs-3g": (["mkfs.ntfs", "-q", "-F", "-f", "-Q"], ["ntfs-3g"]),
    "exfat": (["mkfs.exfat"], ["mount.exfat-fuse"]),
}


def output(*command):
    """Runs command quietly; gives its output, or fails with what it said."""
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        sys.exit("%s failed:\n%s%s" % (" ".join(command), done.stdout, done.stderr))
    return done.stdout.strip()


class Drive:
    """Drive D: as a fresh file system of the given size on a loop device."""

    def __init__(self, kind, size):
        self.backing = tempfile.NamedTemporaryFile(prefix="tolvera-%s-" % kind, dir="/var/tmp")
        os.truncate(self.backing.name, size)
        self.device = None
        if kind in FUSE_FILE_SYSTEMS:
            make, mount = FUSE_FILE_SYSTEMS[kind]
            self.device = output("losetup", "--find", "--show", self.backing.name)
            output(*make, self.device)
            drives.prepare_drives()
            run(*mount, self.device, drives.drive("D"))
        else:
            run(*FILE_SYSTEMS[kind], self.backing.name)
            drives.prepare_drives()
            run("mount", "-o", "loop", self.backing.name, drives.drive("D"))

    def close(self):
        run("umount", drives.drive("D"))
        if self.device:
            run("losetup", "--detach", self.device)
        self.backing.close()


class Checks:
    def __init__(self):
        self.failures = 0

    def report(self, name, problems):
        if problems:
            self.failures += 1
            print("FAIL %s:\n  %s" % (name, "\n  ".join(problems)))
        else:
            print("ok   %s" % name)
        sys.stdout.flush()


def expect(problems, what, got, wanted):
    if got != wanted:
        text = repr(got)
        problems.append("%s: got %s, expected %r" % (what, text[-300:], wanted))


def no_image(problems):
    if os.path.lexists(PATH):
        problems.append("an image of %d bytes was left" % os.lstat(PATH).st_size)


def cached_bytes(path):
    out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                         check=True, capture_output=True, text=True).stdout
    return int(out.split()[0])


# --- native ---------------------------------------------------------------

def untraceable_checks_off():
    """LeakSanitizer cannot work under strace; the other runs keep it."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    return env


def traced_run(program, lines):
    """Runs the program under strace; gives the result and the calls on the
    image's descriptor, in order, as (name, arguments, result)."""
    with tempfile.NamedTemporaryFile(prefix="tolvera-strace-", mode="r") as log:
        result = subprocess.run(
            ["strace", "-o", log.name, "-e", "trace=openat,fallocate,write,sync_file_range,"
             "fsync,fdatasync,close", program], input=lines, capture_output=True, timeout=300,
            preexec_fn=usual_interrupts, env=untraceable_checks_off())
        calls = []
        descriptor = None
        for line in log:
            match = re.match(r"(\w+)\((.*)\)\s+= (-?\d+)", line)
            if not match:
                continue
            name, arguments, value = match.group(1), match.group(2), int(match.group(3))
            if name == "openat" and '"%s"' % PATH in arguments and "O_CREAT" in arguments \
                    and value >= 0:
                descriptor = value
                continue
            first = arguments.split(",")[0]
            if descriptor is not None and first == str(descriptor):
                calls.append((name, arguments, value))
                if name == "close":
                    descriptor = None
    return result, calls


def new_image(program, kind, checks):
    drive = Drive(kind, 1024 * MB)
    problems = []
    try:
        size = 300
        result, calls = traced_run(program, b"d\n%d\n\n" % size)
        expect(problems, "standard output", result.stdout,
               first_screen() + size_screen("D") + made("D"))
        expect(problems, "exit status", result.returncode, 0)
        names = [name for name, _, _ in calls]
        writes = [c for c in calls if c[0] == "write"]
        if not names or names[0] != "fallocate" or calls[0][2] != 0 or \
                "FALLOC_FL_KEEP_SIZE, 0, %d" % (size * MB) not in calls[0][1]:
            problems.append("the first call on the image is not the reservation of the "
                            "whole size: %s" % (calls[:1],))
        if len(writes) != size or any(w[2] != MB for w in writes):
            problems.append("%d writes, not %d of one block each" % (len(writes), size))
        if "sync_file_range" not in names:
            problems.append("no write-back while writing")
        if names[-2:] != ["fsync", "close"] or "write" in names[names.index("fsync"):]:
            problems.append("not flushed between the last write and the close: %s"
                            % names[-4:])
        cached = cached_bytes(PATH)
        if cached > CACHE_LIMIT:
            problems.append("%d MiB of the image left in the page cache" % (cached // MB))
        problem = drives.zero_image_problem(PATH, size)
        if problem:
            problems.append(problem)
    finally:
        drive.close()
    checks.report("%s: a new image, reserved, written back, flushed before the close" % kind,
                  problems)


def refused_at_once(program, kind, checks, label, megabytes, error):
    drive = Drive(kind, 512 * MB)
    problems = []
    try:
        result, calls = traced_run(program, b"d\n%d\n\n" % megabytes)
        expect(problems, "standard output", result.stdout,
               first_screen() + size_screen("D") + creating("D") + PROMPT)
        expect(problems, "standard error", result.stderr,
               error_line(CANNOT_WRITE, error))
        expect(problems, "exit status", result.returncode, 255)
        names = [name for name, _, _ in calls]
        if "write" in names:
            problems.append("%d blocks were written first" % names.count("write"))
        no_image(problems)
    finally:
        drive.close()
    checks.report("%s: %s: the error before the first block" % (kind, label), problems)


def wait_for_image(megabytes, process, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(PATH) and os.path.getsize(PATH) >= megabytes * MB:
            return True
        if process.poll() is not None:
            return False
        time.sleep(0.01)
    return False


def interrupt_while_writing(command, env, interrupt, problems, megabytes=6000, after=200,
                            pause=0, limit=5):
    """Starts command on so many megabytes for drive D:, interrupts it once
    after megabytes are written (and pause seconds more), and gives its
    exit status, standard output and error, and the seconds from the
    interrupt to the end."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env, preexec_fn=usual_interrupts)
    process.stdin.write(b"d\n%d\n" % megabytes)
    process.stdin.flush()
    if not wait_for_image(after, process):
        problems.append("the image did not reach %d MB" % after)
    time.sleep(pause)
    start = time.time()
    if not interrupt(process):
        problems.append("nothing to interrupt")
    # The input stays open: an exit prompt would wait for it, and only the
    # interrupt may end the program.
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        problems.append("hangs: still running 30 seconds after the interrupt")
    took = time.time() - start
    stdout, stderr = process.communicate()
    if took > limit:
        problems.append("took %.1f seconds to end" % took)
    return process.returncode, stdout, stderr, took


def signal_to(number):
    """The interrupt for a native program: the signal itself."""
    def send(process):
        process.send_signal(number)
        return True
    return send


def interrupted_native(program, number, checks):
    drive = Drive("ext4", 8 * 1024 * MB)
    problems = []
    try:
        status, stdout, stderr, took = interrupt_while_writing([program], None,
                                                               signal_to(number), problems)
        expect(problems, "exit status", status, -number)
        expect(problems, "standard output", stdout,
               first_screen() + size_screen("D") + creating("D"))
        expect(problems, "standard error", stderr, error_line(CANNOT_WRITE, errno.EINTR))
        no_image(problems)
    finally:
        drive.close()
    checks.report("ext4: %s while writing 6000 MB ends by it in %.2f s, nothing left"
                  % (signal.Signals(number).name, took), problems)



class FuseDrive:
    """Drive D: as a FUSE drive in memory, served by one of the scripts
    beside this one."""

    def __init__(self, script, *arguments):
        drives.prepare_drives()
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, script), drives.drive("D"), *arguments])
        deadline = time.time() + 10
        while not os.path.ismount(drives.drive("D")):
            if time.time() > deadline or self.process.poll() is not None:
                raise RuntimeError("the drive of %s did not come up" % script)
            time.sleep(0.05)

    def pull_out(self):
        """As a stick pulled out: the drive's process ends on the spot."""
        self.process.kill()
        self.process.wait(timeout=10)

    def close(self):
        if self.process.poll() is None:
            run("umount", drives.drive("D"))
            self.process.wait(timeout=10)
        else:
            run("umount", "--lazy", drives.drive("D"))


class HeldFullDrive(FuseDrive):
    """A drive that takes CAPACITY bytes, then holds the next write for
    HOLD seconds and answers it with ENOSPC."""

    CAPACITY = 50 * MB
    HOLD = 4

    def __init__(self):
        super().__init__("held_full_fs.py", str(self.CAPACITY), str(self.HOLD))


def interrupt_at_full_drive(command, env, interrupt, problems):
    """Starts command on 300 MB for the held-full drive D: and interrupts
    it while the write past the capacity is held."""
    return interrupt_while_writing(command, env, interrupt, problems, megabytes=300,
                                   after=HeldFullDrive.CAPACITY // MB,
                                   pause=HeldFullDrive.HOLD / 4, limit=HeldFullDrive.HOLD + 3)


def full_drive_interrupted_native(program, checks):
    drive = HeldFullDrive()
    problems = []
    try:
        status, stdout, stderr, took = interrupt_at_full_drive(
            [program], None, signal_to(signal.SIGINT), problems)
        expect(problems, "exit status", status, -signal.SIGINT)
        expect(problems, "standard output", stdout,
               first_screen() + size_screen("D") + creating("D"))
        expect(problems, "standard error", stderr, error_line(CANNOT_WRITE, errno.ENOSPC))
        no_image(problems)
    finally:
        drive.close()
    checks.report("a drive that fills up during SIGINT: its reason, ended by the signal "
                  "%.2f s after it, nothing left" % took, problems)


def native(program, checks):
    for kind in FILE_SYSTEMS:
        new_image(program, kind, checks)
        refused_at_once(program, kind, checks, "1000 MB on a drive of 512 MB", 1000,
                        errno.ENOSPC)
    # 2 PiB: beyond ext4's largest file of 16 TiB (xfs and btrfs take
    # files of exabytes, and find the drive too small).
    refused_at_once(program, "ext4", checks, "2147483647 MB, beyond the largest file",
                    2147483647, errno.EFBIG)
    for number in INTERRUPTS:
        interrupted_native(program, number, checks)
    full_drive_interrupted_native(program, checks)
    unreserved("native", [program], program, untraceable_checks_off(), checks)
    gone_or_bad("native", [program], None, checks)


# --- windows --------------------------------------------------------------

class Wine:
    def __init__(self, program):
        self.env = drives.make_wine_prefix("D")
        drives.start_wine_server(self.env)
        self.program = os.path.abspath(program)

    def close(self):
        subprocess.run(["wineserver", "--kill"], env=self.env)
        subprocess.run(["rm", "-rf", self.env["WINEPREFIX"]])


CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS = 1, 2, 4
FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000
FILE_FLAG_NO_BUFFERING = 0x20000000
# The largest sector size of the drives the program is written for; a
# multiple of it is a multiple of every smaller one.
SECTOR = 4096
SEM_FAILCRITICALERRORS, SEM_NOOPENFILEERRORBOX = 0x0001, 0x8000


def dword(text):
    """An argument of the trace as the 32-bit value it is (the trace may
    show the rest of the 64-bit register)."""
    return int(text, 16) & 0xFFFFFFFF


def creates_image(name, arguments):
    """Whether the call is the open that creates the image."""
    return name.startswith("CreateFile") and "TOLVERA.IMG" in arguments and \
        dword(arguments.split(",")[4]) in (CREATE_NEW, OPEN_ALWAYS, CREATE_ALWAYS)


def relay_calls(trace):
    """The calls into KERNEL32, in order, as (name, arguments, return
    value), from Wine's relay trace; and of them, those on the handle
    that the image was created with."""
    handle = None
    pending = {}
    calls = []
    image_calls = []
    for line in trace.decode(errors="replace").splitlines():
        call = re.match(r"([0-9a-f]+):Call KERNEL32\.(\w+)\((.*)\) ret=", line)
        if call:
            thread, name, arguments = call.groups()
            pending[thread] = (name, arguments)
            continue
        ret = re.match(r"([0-9a-f]+):Ret  KERNEL32\.(\w+)\(\) retval=([0-9a-f]+)", line)
        if not ret or ret.group(1) not in pending:
            continue
        name, arguments = pending.pop(ret.group(1))
        value = int(ret.group(3), 16)
        calls.append((name, arguments, value))
        if creates_image(name, arguments):
            handle = "%08x" % value
            continue
        if handle is not None and arguments.split(",")[0] == handle:
            image_calls.append((name, arguments, value))
            if name == "CloseHandle":
                handle = None
    return calls, image_calls


def links_not_followed(calls, problems):
    """Wine 8 cannot make symbolic links or junctions (CreateSymbolicLink
    is a stub, and a Unix link in a drive is followed like a file), so
    what the program asks of the system is checked instead: the query
    that shows a link as itself, every open of the path with
    FILE_FLAG_OPEN_REPARSE_POINT, and the opened image looked at before
    its first block."""
    on_path = [c for c in calls if "TOLVERA.IMG" in c[1]]
    names = [name for name, _, _ in on_path]
    if "GetFileAttributesExA" not in names:
        problems.append("the status query is not GetFileAttributesExA: %s" % names)
    opens = [c for c in on_path if c[0].startswith("CreateFile")]
    if len(opens) < 2:
        problems.append("the path was opened %d times, expected the creation and the "
                        "mode change" % len(opens))
    for name, arguments, _ in opens:
        if not dword(arguments.split(",")[5]) & FILE_FLAG_OPEN_REPARSE_POINT:
            problems.append("%s(%s) follows a link at the path" % (name, arguments))
    modes = [dword(c[1]) for c in calls if c[0] == "SetErrorMode"]
    first_on_path = calls.index(on_path[0]) if on_path else 0
    if not any(m & SEM_FAILCRITICALERRORS and m & SEM_NOOPENFILEERRORBOX
               for m in modes) or \
            [c[0] for c in calls].index("SetErrorMode") > first_on_path:
        problems.append("no SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX) "
                        "at start: %s" % modes)


def unbuffered_and_aligned(all_calls, writes, problems):
    """Wine keeps FILE_FLAG_NO_BUFFERING only as a mark on the handle: it
    neither writes past its cache nor refuses a misaligned write.  So what
    Windows would ask of such a handle is checked here: each write's buffer
    address, length and offset in the file (the lengths before it added up:
    on this roomy drive none comes short) a multiple of the sector."""
    opened = [c for c in all_calls if creates_image(c[0], c[1])]
    if not opened or not dword(opened[0][1].split(",")[5]) & FILE_FLAG_NO_BUFFERING:
        problems.append("the image is not opened with FILE_FLAG_NO_BUFFERING: %s" % opened[:1])
    offset = 0
    for _, arguments, _ in writes:
        fields = arguments.split(",")
        address, length = int(fields[1], 16), dword(fields[2])
        if address % SECTOR or length % SECTOR or offset % SECTOR:
            problems.append("WriteFile(%s) at offset %d is not aligned to %d bytes"
                            % (arguments, offset, SECTOR))
            break
        offset += length


def relay_trace(wine, checks):
    drive = Drive("ext4", 1024 * MB)
    problems = []
    try:
        size = 100
        env = dict(wine.env, WINEDEBUG="+relay")
        result = subprocess.run([*drives.WINE, wine.program], input=b"d\n%d\n\n" % size,
                                capture_output=True, env=env, timeout=300)
        expect(problems, "exit status", result.returncode, 0)
        all_calls, calls = relay_calls(result.stderr)
        names = [name for name, _, _ in calls]
        writes = [c for c in calls if c[0] == "WriteFile"]
        if len(writes) != size or any(dword(w[1].split(",")[2]) != MB for w in writes):
            problems.append("%d WriteFile calls, not %d of 1,048,576 bytes each: %s"
                            % (len(writes), size, writes[:3]))
        first_write = names.index("WriteFile") if writes else 0
        reservations = [i for i, c in enumerate(calls)
                        if c[0] == "SetFileInformationByHandle"
                        and dword(c[1].split(",")[1]) == 5]  # FileAllocationInfo
        if not reservations or reservations[0] > first_write:
            problems.append("the reservation was not tried before the first block: %s"
                            % names[:5])
        if "GetFileInformationByHandle" not in names[:first_write]:
            problems.append("what was opened is not looked at before the first block")
        if names[-2:] != ["FlushFileBuffers", "CloseHandle"] or \
                "WriteFile" in names[names.index("FlushFileBuffers"):]:
            problems.append("not flushed between the last write and the close: %s"
                            % names[-4:])
        links_not_followed(all_calls, problems)
        unbuffered_and_aligned(all_calls, writes, problems)
        problem = drives.zero_image_problem(PATH, size)
        if problem:
            problems.append(problem)
    finally:
        drive.close()
    checks.report("windows: error mode set, links not followed, opened unbuffered, one "
                  "aligned WriteFile per block, reserved first, flushed before the close",
                  problems)


def exe_process(program):
    """The pid of the process whose command line is the .exe's path, of
    this test's own: those in its mount namespace (another test may run
    the same program meanwhile, in a namespace of its own)."""
    ours = os.readlink("/proc/self/ns/mnt")
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().split(b"\0")[0]
            if command == program.encode() and os.readlink("/proc/%s/ns/mnt" % pid) == ours:
                return int(pid)
        except OSError:
            continue
    return None


def ctrl_c_to(program):
    """Ctrl+C for the .exe: Wine turns a SIGINT to its own process into
    CTRL_C_EVENT."""
    def press(process):
        pid = exe_process(program)
        if pid is not None:
            os.kill(pid, signal.SIGINT)
        return pid is not None
    return press


def interrupted_windows(wine, checks):
    drive = Drive("ext4", 8 * 1024 * MB)
    problems = []
    try:
        status, stdout, stderr, took = interrupt_while_writing(
            [*drives.WINE, wine.program], wine.env, ctrl_c_to(wine.program), problems)
        expect(problems, "exit status", status, STATUS_CONTROL_C_EXIT & 0xFF)
        wanted = first_screen() + size_screen("D") + creating("D")
        expect(problems, "standard output", stdout, wanted.replace(b"\n", b"\r\n"))
        expect(problems, "standard error", stderr,
               error_line(CANNOT_WRITE, "EINTR").replace(b"\n", b"\r\n"))
        no_image(problems)
    finally:
        drive.close()
    checks.report("windows: Ctrl+C while writing 6000 MB ends in %.2f s with "
                  "STATUS_CONTROL_C_EXIT, nothing left" % took, problems)


def full_drive_interrupted_windows(wine, checks):
    drive = HeldFullDrive()
    problems = []
    try:
        status, stdout, stderr, took = interrupt_at_full_drive(
            [*drives.WINE, wine.program], wine.env, ctrl_c_to(wine.program), problems)
        # Windows runs the handler at once, on a thread of its own, while
        # the write is held.  Wine creates that thread from its SIGINT
        # handler, which the kernel runs only once the held write returns:
        # then the program may already have let go of the interrupts and
        # wait at the exit prompt, where Wine's own handler ends it with 0.
        wanted = first_screen() + size_screen("D") + creating("D")
        if status == 0:
            wanted += PROMPT
        else:
            expect(problems, "exit status", status, STATUS_CONTROL_C_EXIT & 0xFF)
        expect(problems, "standard output", stdout, wanted.replace(b"\n", b"\r\n"))
        reason = error_line(CANNOT_WRITE, "ENOSPC")
        # Wine's server may finish the deletion on the FUSE drive well after
        # the process is gone (seen in some of twenty runs, under load): the
        # program, which looks, then says that the image is still there.
        # Gone, or told: an incomplete image is never left untold.
        told = stderr == (reason + image_left("D")).replace(b"\n", b"\r\n")
        if not told:
            expect(problems, "standard error", stderr, reason.replace(b"\n", b"\r\n"))
        deadline = time.time() + 2
        while os.path.lexists(PATH) and time.time() < deadline:
            time.sleep(0.05)
        if not told:
            no_image(problems)
    finally:
        drive.close()
    checks.report("windows: Ctrl+C while the drive fills up: its reason, ended %.2f s "
                  "after it with status %d, nothing left" % (took, status), problems)


def windows(program, checks):
    wine = Wine(program)
    try:
        relay_trace(wine, checks)
        interrupted_windows(wine, checks)
        full_drive_interrupted_windows(wine, checks)
        unreserved("windows", [*drives.WINE, wine.program], wine.program, wine.env, checks)
        gone_or_bad("windows", [*drives.WINE, wine.program], wine.env, checks)
    finally:
        wine.close()


# --- drives that go bad or away, both builds -------------------------------

# Where the build names the reason differently: Wine maps the EIO of its
# own writes to ERROR_NOT_READY, which on an open image means a drive gone,
# and the end of a FUSE drive's process to ERROR_IO_DEVICE.  Windows itself
# gives ERROR_IO_DEVICE, ERROR_CRC and the like for a failing device, and
# the codes of a removed device for one pulled out.
BAD_DRIVE_REASON = {"native": "EIO", "windows": "ENODEV"}
# Natively ENOTCONN, or ECONNABORTED for a request the drive had taken:
# both read the same.
PULLED_OUT_REASON = {"native": "ENOTCONN", "windows": "EIO"}
WRITTEN_BEFORE = 50 * MB


def partial_image_left(problems):
    """The incomplete image is still there, as the program has said."""
    if not os.path.lexists(PATH) or os.path.getsize(PATH) > WRITTEN_BEFORE:
        problems.append("no incomplete image of at most 50 MB is left")


def drive_goes_bad(build, command, env, checks):
    """A drive that answers EIO to every write past 50 MiB and to the
    deletion: the reason, then that the incomplete image is still there."""
    drive = FuseDrive("failing_fs.py", str(WRITTEN_BEFORE), "0")
    problems = []
    try:
        result = subprocess.run(command, input=b"d\n300\n\n", capture_output=True, env=env,
                                timeout=120, preexec_fn=usual_interrupts)
        expect(problems, "standard output", result.stdout, build_bytes(
            build, first_screen() + size_screen("D") + creating("D") + PROMPT))
        expect(problems, "standard error", result.stderr, build_bytes(
            build, error_line(CANNOT_WRITE, BAD_DRIVE_REASON[build]) + image_left("D")))
        expect(problems, "exit status", result.returncode, 255)
        partial_image_left(problems)
    finally:
        drive.close()
    checks.report("%s: a drive that goes bad at 50 MB and refuses the deletion: its reason, "
                  "and the incomplete image named" % build, problems)


def drive_pulled_out(build, command, env, checks):
    """The drive goes away while the image is written: its process is
    killed once 50 MB are written.  The reason, the incomplete image named
    (its deletion fails as well), the exit prompt and no hang."""
    drive = FuseDrive("failing_fs.py", str(1 << 40), "0")
    problems = []
    try:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env, preexec_fn=usual_interrupts)
        process.stdin.write(b"d\n300\n\n")
        process.stdin.flush()
        if not wait_for_image(WRITTEN_BEFORE // MB, process):
            problems.append("the image did not reach 50 MB")
        drive.pull_out()
        try:
            stdout, stderr = process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            stdout, stderr = process.communicate()
            problems.append("hangs: still running 30 seconds after the drive went away")
        expect(problems, "standard output", stdout, build_bytes(
            build, first_screen() + size_screen("D") + creating("D") + PROMPT))
        expect(problems, "standard error", stderr, build_bytes(
            build, error_line(CANNOT_WRITE, PULLED_OUT_REASON[build]) + image_left("D")))
        expect(problems, "exit status", process.returncode, 255)
    finally:
        drive.close()
    checks.report("%s: a drive pulled out while 300 MB are written: its reason, the incomplete "
                  "image named, no hang" % build, problems)


def gone_or_bad(build, command, env, checks):
    drive_goes_bad(build, command, env, checks)
    drive_pulled_out(build, command, env, checks)


# --- drives that cannot reserve, both builds -------------------------------

class Write:
    """One write on the image, as the system saw it."""

    def __init__(self, name, asked, done, error):
        self.name, self.asked, self.done, self.error = name, asked, done, error

    def __repr__(self):
        return "%s(%s) = %s" % (self.name, self.asked, self.error or self.done)


# The descriptor's path may be marked "(deleted)": on ntfs-3g at times
# while the file is still there.
WRITE_CALL = re.compile(r"(\d+\.\d+) (write|pwrite64|writev|pwritev2?)\((\d+)<(.*?)>"
                        r"(?:\(deleted\))?, (.*)\) += (-?\d+)(?: (E\w+))?")


def system_writes(log, path):
    """The writes on path from a log of strace -ff -ttt -y, in order."""
    found = []
    for name in os.listdir(os.path.dirname(log)):
        if not name.startswith(os.path.basename(log)):
            continue
        with open(os.path.join(os.path.dirname(log), name)) as f:
            for line in f:
                match = WRITE_CALL.match(line)
                if not match or not match.group(4).startswith(path):
                    continue
                when, call, _, _, arguments, done, error = match.groups()
                # write's count is its last argument, pwrite64's the one
                # before the offset; the vector calls' lengths are not
                # shown (-s 0) and none is expected.
                numbers = arguments.split(", ")
                asked = {"write": -1, "pwrite64": -2}.get(call)
                found.append((float(when), Write(call, asked and int(numbers[asked]),
                                                 int(done), error)))
    return [write for _, write in sorted(found, key=lambda pair: pair[0])]


def traced_writes(command, lines, env, meanwhile=None, slowed=None):
    """Runs command, every process and thread of it under strace, and gives
    the result, the seconds it took, and the writes on the image.  The path
    of each descriptor is shown (-y), so the writes of the Windows program
    under Wine are found too, on a descriptor that the Wine server opened.
    meanwhile, if given, is called with the running process; the system
    call slowed, if given, returns only after 20 ms each time, so that
    meanwhile finds the program between two blocks however busy the
    machine."""
    with tempfile.TemporaryDirectory(prefix="tolvera-strace-") as directory:
        log = os.path.join(directory, "log")
        traced = ["strace", "-ff", "-ttt", "-y", "-s", "0", "-qq", "--seccomp-bpf", "-o", log,
                  "-e", "trace=write,pwrite64,writev,pwritev,pwritev2", "-e", "signal=none"]
        if slowed:
            traced += ["-e", "inject=%s:delay_exit=20000" % slowed]
        # Files, not pipes: nobody reads a pipe while meanwhile runs.
        streams = [os.path.join(directory, name) for name in ("typed", "stdout", "stderr")]
        with open(streams[0], "wb") as f:
            f.write(lines)
        start = time.time()
        with open(streams[0], "rb") as typed, open(streams[1], "wb") as stdout, \
                open(streams[2], "wb") as stderr:
            process = subprocess.Popen(traced + command, stdin=typed, stdout=stdout,
                                       stderr=stderr, env=env, preexec_fn=usual_interrupts)
        if meanwhile:
            meanwhile(process)
        try:
            process.wait(timeout=300)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        took = time.time() - start
        with open(streams[1], "rb") as stdout, open(streams[2], "rb") as stderr:
            result = subprocess.CompletedProcess(command, process.returncode, stdout.read(),
                                                 stderr.read())
        return result, took, system_writes(log, PATH)


def free_bytes():
    st = os.statvfs(drives.drive("D"))
    return st.f_bavail * st.f_frsize


def stopped(pid, seconds=10):
    """Waits until the process is stopped (by a signal, or as strace's
    tracee); false if it is not within the time or is gone."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            with open("/proc/%d/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            return False
        if state in "Tt":
            return True
        time.sleep(0.01)
    return False


def settled(path):
    """Waits until a stopped program's last write has surely ended: the
    signal may have found it at the entry of a write, which strace then
    lets through."""
    size = -1
    while size != os.stat(path).st_size:
        size = os.stat(path).st_size
        time.sleep(0.1)
    return size


def fill_drive(path, free):
    """Writes a file at path that leaves the drive with free bytes."""
    left = free_bytes() - free
    block = bytes(MB)
    with open(path, "wb") as f:
        while left > 0:
            left -= f.write(block[:min(left, MB)])
        f.flush()
        os.fsync(f.fileno())
        # NTFS takes some clusters more for the first file it stores.
        f.truncate(f.tell() - max(free - free_bytes(), 0))
        os.fsync(f.fileno())


def build_bytes(build, data):
    """The bytes as the build writes them: Wine's runtime writes the console
    streams in text mode, with a carriage return before every line feed."""
    return data.replace(b"\n", b"\r\n") if build == "windows" else data


def cannot_reserve_failure(build, result, problems):
    expect(problems, "standard output", result.stdout, build_bytes(
        build, first_screen() + size_screen("D") + creating("D") + PROMPT))
    expect(problems, "standard error", result.stderr,
           build_bytes(build, error_line(CANNOT_WRITE, "ENOSPC")))
    expect(problems, "exit status", result.returncode, 255)
    no_image(problems)


# Small drives: ntfs-3g writes about 100 MB a second.
SMALL_DRIVE = 300 * MB
# Room for 100 MB (the least size) and some to spare.
SMALLEST_DRIVE = 112 * MB


def too_small_unreserved(build, command, env, kind, checks):
    """Where nothing can be reserved, the free space the drive reports
    stands in: 1000 MB on a drive of 300 MB fails before the first block."""
    drive = Drive(kind, SMALL_DRIVE)
    problems = []
    try:
        result, took, writes = traced_writes(command, b"d\n1000\n\n", env)
        cannot_reserve_failure(build, result, problems)
        if writes:
            problems.append("%d writes on the image first, %d bytes in all"
                            % (len(writes), sum(max(w.done, 0) for w in writes)))
    finally:
        drive.close()
    checks.report("%s, %s: 1000 MB on a drive of 300 MB: the full drive's reason before "
                  "the first block, in %.1f s, nothing left" % (kind, build, took), problems)


# What the image is left to grow by when another program fills the drive:
# two blocks and a half, so that the third write comes short.
LEFT_TO_GROW = 2 * MB + MB // 2
# The call each build writes its blocks with: Wine writes a file at an
# offset, and uses write() for its own pipes a thousand times.
BLOCK_WRITES = {"native": "write", "windows": "pwrite64"}


def filled_unreserved(build, command, program, env, kind, checks):
    """A drive that another program fills while the image is written.  No
    file system overhead serves here: whole blocks fill exFAT's free space
    to the last, and NTFS's too but for 48 KiB that the first file it ever
    stores takes more, too little to be met reliably.  So the program is
    stopped once its first block is written (the size checked against the
    free space and found to fit), the drive is filled but for two blocks
    and a half beyond what the image holds, and the program goes on: two
    writes are done, the third comes short, and the one for the rest finds
    the drive full."""
    drive = Drive(kind, SMALLEST_DRIVE)
    problems = []
    last = None
    took = 0
    try:
        def fill_meanwhile(process):
            if not wait_for_image(1, process):
                problems.append("the image did not grow")
                return
            pid = exe_process(program)
            if pid is None:
                problems.append("the program's process was not found")
                return
            os.kill(pid, signal.SIGSTOP)
            try:
                if not stopped(pid):
                    problems.append("the program did not stop")
                    return
                free = LEFT_TO_GROW - settled(PATH) % MB
                fill_drive(os.path.join(drives.drive("D"), "FILLER"), free)
                if free_bytes() != free:
                    problems.append("the drive reports %d bytes free, not %d"
                                    % (free_bytes(), free))
            finally:
                os.kill(pid, signal.SIGCONT)

        result, took, writes = traced_writes(command, b"d\n100\n\n", env, fill_meanwhile,
                                             BLOCK_WRITES[build])
        cannot_reserve_failure(build, result, problems)
        done = [w for w in writes if w.done >= 0]
        last = done[-1].done if done else None
        if last is None or not 0 < last < MB:
            problems.append("the last write that was done is not short: %s" % done[-3:])
        if not writes or writes[-1].error != "ENOSPC":
            problems.append("the writes do not end in one refused for lack of space: %s"
                            % writes[-3:])
    finally:
        drive.close()
    checks.report("%s, %s: a drive filled while the image is written: the full drive's "
                  "reason after a last write of %s bytes, in %.1f s, nothing left"
                  % (kind, build, last, took), problems)


def unreserved(build, command, program, env, checks):
    for kind in FUSE_FILE_SYSTEMS:
        too_small_unreserved(build, command, env, kind, checks)
        filled_unreserved(build, command, program, env, kind, checks)


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("native", "windows"):
        sys.exit("usage: run_disk.py native|windows PROGRAM")
    drives.enter_private_namespace()
    checks = Checks()
    program = os.path.abspath(sys.argv[2])
    if sys.argv[1] == "native":
        native(program, checks)
    else:
        windows(program, checks)
    sys.exit(1 if checks.failures else 0)


if __name__ == "__main__":
    main()
