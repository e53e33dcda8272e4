"""Real drives for the program under test, in a private mount namespace.

Drive X: of the native program is the directory /mnt/x; the Windows program
under Wine reaches the same directories through the prefix's dosdevices.
Every case starts on fresh drives:

  D:, E:  empty directories on a roomy tmpfs
  F:      a tmpfs of 150.5 MB, to be filled up
  R:      a read-only tmpfs
  Q:, L:  nothing at all
"""

import ctypes
import os
import subprocess
import sys
import tempfile
import time

MB = 1048576

# Every Wine process starts with the address layout fixed, so that Wine
# always starts.  Debian's Wine 8 has no preloader to take its fixed
# addresses before anything else can, and the kernel puts the heap of its
# loader (wine64, linked at 0x7d000000) at a random place up to 1 GB above
# it: about one start in several thousand finds that heap where the shared
# user data must go, at 0x7ffe0000, and ends with status 1 before the
# program's first instruction ("err:virtual:virtual_alloc_first_teb wine:
# failed to map the shared user data: c0000018", which WINEDEBUG=-all
# hides).  Without the randomisation the heap lies right after the loader.
FIXED_ADDRESSES = ["setarch", "--addr-no-randomize"]
WINE = FIXED_ADDRESSES + ["wine"]
FULL_DRIVE_BYTES = 150 * MB + MB // 2
MARKER = b"OLD IMAGE, NOT TO BE LOST"


def enter_private_namespace():
    """Re-runs this script in a mount namespace of its own (needs root), so
    that the mounts on /mnt are seen by nobody else and vanish with it."""
    if os.environ.get("TOLVERA_TEST_NAMESPACE") == "1":
        return
    if os.geteuid() != 0:
        sys.exit("the end-to-end tests mount their drives and need root")
    env = dict(os.environ, TOLVERA_TEST_NAMESPACE="1")
    command = ["unshare", "--mount", "--propagation", "private",
               sys.executable] + sys.argv
    sys.exit(subprocess.call(command, env=env))


def run(*command):
    subprocess.run(command, check=True)


def drive(letter):
    return "/mnt/" + letter.lower()


def image_path(letter):
    return os.path.join(drive(letter), "TOLVERA.IMG")


_drives_mounted = False

# The drives are mounted and unmounted by the system calls themselves, as
# mount(8) and umount(8) would: the walk of the faults makes fresh drives
# for each of more than a thousand runs, and two processes more for each
# would take a good part of its time.
_libc = ctypes.CDLL(None, use_errno=True)
MS_RDONLY = 1
MNT_DETACH = 2


def _checked(result, *what):
    if result != 0:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number), " ".join(what))


def mount_tmpfs(name, target, options, flags=0):
    _checked(_libc.mount(name.encode(), target.encode(), b"tmpfs", ctypes.c_ulong(flags),
                         options.encode()), "mount", name, target)


def prepare_drives():
    """Fresh drives for one case, mounted over whatever /mnt holds."""
    global _drives_mounted
    if _drives_mounted:
        # Lazily, with every mount below it.
        _checked(_libc.umount2(b"/mnt", MNT_DETACH), "umount --lazy /mnt")
    _drives_mounted = True
    mount_tmpfs("tolvera-drives", "/mnt", "size=8g,mode=0755")
    for letter in "DEFR":
        os.mkdir(drive(letter))
    mount_tmpfs("tolvera-full", drive("F"), "size=%d" % FULL_DRIVE_BYTES)
    mount_tmpfs("tolvera-readonly", drive("R"), "size=1m", MS_RDONLY)
    # Outside every drive, for files that only the tests touch.
    os.mkdir("/mnt/outside")


def write_old_image(path, size, mode=0o644):
    """A file that must survive unless the user agrees: a marker, then a
    sparse tail up to size bytes."""
    with open(path, "wb") as f:
        f.write(MARKER)
        f.truncate(size)
    os.chmod(path, mode)


def old_image_intact(path, size, mode=None):
    st = os.lstat(path)
    with open(path, "rb") as f:
        head = f.read(len(MARKER))
    return (head == MARKER and st.st_size == size and
            (mode is None or (st.st_mode & 0o777) == mode))


def undeletable_old_image(path, size, mode=0o644):
    """An old image that cannot be deleted, only opened and written: a file
    bind-mounted onto the path, whose deletion fails with EBUSY."""
    source = "/mnt/outside/undeletable"
    write_old_image(source, size, mode)
    open(path, "wb").close()
    run("mount", "--bind", source, path)


def zero_image_problem(path, megabytes, mode=None):
    """None when path is a regular file of exactly megabytes MB, all zero,
    with the given mode; otherwise what is wrong with it."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return "no image at " + path
    if not os.path.isfile(path) or os.path.islink(path):
        return path + " is not a regular file"
    if st.st_size != megabytes * MB:
        return "%s has %d bytes, not %d" % (path, st.st_size, megabytes * MB)
    if mode is not None and (st.st_mode & 0o777) != mode:
        return "%s has mode %o, not %o" % (path, st.st_mode & 0o777, mode)
    # Read into one buffer: a fresh one for every megabyte would cost
    # more than the reading.
    zeros = bytes(MB)
    block = bytearray(MB)
    with open(path, "rb", buffering=0) as f:
        while True:
            length = f.readinto(block)
            if not length:
                break
            if (block if length == MB else block[:length]) != zeros[:length]:
                return path + " holds bytes other than zero"
    return None


def start_wine_server(env):
    """One server for the prefix that lives through all runs, with Wine's
    background services started: started here, they hold no run's pipes.
    The server holds none of ours either, so that a test runner waiting
    for our output is not kept waiting by it.  A server's programs that
    are still going from before (a prefix just made, a server just
    killed) can make wineboot fail once; it works the next time."""
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "--wait"], env=env, **quiet)
    for attempt in range(5):
        subprocess.run(["wineserver", "--persistent"], env=env, **quiet)
        if subprocess.run(FIXED_ADDRESSES + ["wineboot"], env=env, **quiet).returncode == 0:
            return
        time.sleep(1)
    subprocess.run(["wineserver", "--kill"], env=env, **quiet)
    raise RuntimeError("Wine does not start in %s" % env["WINEPREFIX"])


def make_wine_prefix(letters):
    """A Wine prefix of its own in which the given drive letters are the
    test drives and no other drive but C: and Z: exists.  Gives the
    environment to run Wine with (WINEPREFIX names the prefix)."""
    prefix = tempfile.mkdtemp(prefix="tolvera-wine-")
    # No install dialogues for .NET or HTML support; no debug output.
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    # Made under a server of its own, which then goes with all that the
    # making leaves going (an update, services started twice): so the
    # next start need not wait some seconds for all that to end by itself.
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "--persistent"], env=env, **quiet)
    subprocess.run(FIXED_ADDRESSES + ["wineboot", "--init"], env=env, check=True, **quiet)
    subprocess.run(["wineserver", "--kill"], env=env, **quiet)
    devices = os.path.join(prefix, "dosdevices")
    for name in os.listdir(devices):
        if name.endswith(":") and name not in ("c:", "z:"):
            os.unlink(os.path.join(devices, name))
    for letter in letters.lower():
        os.symlink(drive(letter), os.path.join(devices, letter + ":"))
    return env

