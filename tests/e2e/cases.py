"""The table of end-to-end cases: the lines typed, the bytes expected on
standard output and standard error, the exit status, and what must be on
the drives afterwards.

stdout and stderr are lists of byte strings and (perror text, error name)
pairs; an error name may differ per build, given as a dict.  Statuses are
the program's own (-1 reaches the shell as 255).
"""

import os
import stat

import drives
from drives import (MB, image_path, old_image_intact, undeletable_old_image,
                    write_old_image, zero_image_problem)
from texts import (PROMPT, TITLE, creating, drive_again, first_screen, image_left, made,
                   replace_screen, room_not_held, size_screen)

BOTH = ("native", "windows")
NATIVE = ("native",)
FAULTS = ("faults",)

CANNOT_LOOK = "Kann nicht pruefen, ob schon eine Image-Datei da ist"
CANNOT_CREATE = "Kann Image-Datei nicht anlegen"
CANNOT_WRITE = "Kann Image-Datei nicht schreiben"
NO_MEMORY = "Kann nicht genug Hauptspeicher belegen"
# Both builds name a full drive as such, whether it shows before the first
# block or at the write that finds no more room.
DISK_FULL = "ENOSPC"


class Case:
    def __init__(self, name, input, stdout, status, stderr=(), setup=None,
                 checks=(), builds=BOTH, env=None, umask=0o022, meanwhile=None,
                 closed_stderr=False):
        self.name = name
        self.input = input
        # Standard error a pipe whose reader has gone: stderr is not read.
        self.closed_stderr = closed_stderr
        # (what changes on the drives, the lines typed after it): the
        # change is made while the program waits at the size question.
        self.meanwhile = meanwhile
        self.stdout = stdout
        self.status = status
        self.stderr = stderr
        self.setup = setup
        self.checks = checks
        self.builds = builds
        self.env = env or {}
        self.umask = umask


# What must be on the drives afterwards.  Each check gets the build's name
# and returns None or what is wrong.

def image(megabytes, letter="D", mode=0o644):
    """A fresh image of zero bytes; its mode only where there are modes."""
    def check(build):
        return zero_image_problem(image_path(letter), megabytes,
                                  None if build == "windows" else mode)
    return check


def no_image(letter="D"):
    def check(build):
        if os.path.lexists(image_path(letter)):
            return "%s is there but should not be" % image_path(letter)
    return check


def old_image_kept(size, mode=None, letter="D"):
    def check(build):
        if not os.path.lexists(image_path(letter)):
            return "the old image at %s is gone" % image_path(letter)
        if not old_image_intact(image_path(letter), size, mode):
            return "the old image at %s was changed" % image_path(letter)
    return check


# An existing image on D:, and the bytes it is shown with.

def old_image(size, mode=0o644):
    return lambda: write_old_image(image_path("D"), size, mode)


OLD_SIZE = 100 * MB


# A folder named like the image, which is no image to make writable.

FOLDER_MODE = 0o555


def plant_folder():
    os.mkdir(image_path("D"))
    os.chmod(image_path("D"), FOLDER_MODE)


def folder_kept(build):
    st = os.lstat(image_path("D"))
    if not os.path.isdir(image_path("D")) or st.st_mode & 0o777 != FOLDER_MODE:
        return "the folder at the image path was changed: mode %o" % (st.st_mode & 0o777)


# A device named like the image, which is no image to make writable.

DEVICE_MODE = 0o600


def plant_device():
    os.mknod(image_path("D"), DEVICE_MODE | stat.S_IFCHR, os.makedev(1, 3))


def device_kept(build):
    st = os.lstat(image_path("D"))
    if not stat.S_ISCHR(st.st_mode) or st.st_mode & 0o777 != DEVICE_MODE:
        return "the device at the image path was changed: mode %o" % st.st_mode


def partial_image_left(build):
    """The image whose deletion failed is still there, incomplete."""
    if not os.path.isfile(image_path("D")) or os.path.getsize(image_path("D")) >= 100 * MB:
        return "no incomplete image at %s" % image_path("D")


# A symbolic link planted at the image path, pointing at another file the
# program must never touch.

VICTIM = "/mnt/e/victim"
VICTIM_TEXT = b"another file, not to be touched"


def plant_link(target=VICTIM):
    def setup():
        with open(VICTIM, "wb") as f:
            f.write(VICTIM_TEXT)
        os.chmod(VICTIM, 0o600)
        os.symlink(target, image_path("D"))
    return setup


def victim_untouched(build):
    st = os.stat(VICTIM)
    with open(VICTIM, "rb") as f:
        if f.read() != VICTIM_TEXT or st.st_mode & 0o777 != 0o600:
            return "the file behind the link was changed"


def link_kept(build):
    if os.readlink(image_path("D")) != VICTIM:
        return "the link at the image path is gone"


def dangling_link_kept(build):
    if os.readlink(image_path("D")) != "/mnt/e/created":
        return "the dangling link at the image path is gone"


def nothing_created_through_link(build):
    if os.path.lexists("/mnt/e/created"):
        return "a file was created through the dangling link"


# The calls of a fault-injecting run, traced outside every drive.
TRACE = "/mnt/outside/trace"


def nothing_written(build):
    """The drive's free space was asked, and no block written."""
    with open(TRACE) as f:
        calls = f.read().split()
    if "fstatvfs" not in calls or "write" in calls:
        return "calls %s: not stopped by the drive's free space" % sorted(set(calls))


START = first_screen()


# The world changes while the program waits at the size question: a drive
# is plugged in with last year's image on it, or an image is made on a
# drive that was there all along.  Each gets the build's runner, which
# makes the drive known to Wine where that is needed.

def plug_in_drive(letter):
    def change(runner):
        os.mkdir(drives.drive(letter))
        write_old_image(image_path(letter), OLD_SIZE)
        runner.add_drive(letter)
    return change


def image_appears(runner):
    write_old_image(image_path("D"), OLD_SIZE)


def undeletable_image_swapped(runner):
    """The old image that could not be deleted goes after all, and another
    takes its name: a new file, not the one the user agreed to."""
    drives.run("umount", image_path("D"))
    os.unlink(image_path("D"))
    write_old_image(image_path("D"), OLD_SIZE)


def opened(times):
    """The creation was tried so many times (the trace's opens)."""
    def check(build):
        with open(TRACE) as f:
            calls = f.read().split()
        if calls.count("open") != times:
            return "the image was opened %d times, not %d" % (calls.count("open"), times)
    return check


def plant_fifo():
    os.mkfifo(image_path("D"), DEVICE_MODE)


def fifo_kept(build):
    st = os.lstat(image_path("D"))
    if not stat.S_ISFIFO(st.st_mode) or st.st_mode & 0o777 != DEVICE_MODE:
        return "the FIFO at the image path was changed: mode %o" % st.st_mode


def nothing_opened_but_the_creation(build):
    """The one open was the exclusive creation; nothing was written."""
    with open(TRACE) as f:
        calls = f.read().split()
    if calls.count("open") != 1 or "write" in calls:
        return "calls %s: what is at the path was opened or written" % calls


LATE_QUESTION = [START, size_screen("Q"), TITLE, replace_screen("Q", 100)]

CASES = [
    # The main road, and the answers to the drive question.
    Case("a new image of 100 MB", b"d\n100\n\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)]),
    Case("a new image of 150 MB", b"D\n150\n\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(150)]),
    Case("a lower-case letter names the drive in upper case", b"e\n100\n\n",
         [START, size_screen("E"), made("E")], 0, checks=[image(100, "E")]),
    Case("' d:' is drive D; end of input at the exit prompt ends at once", b" d:\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)]),
    Case("'1', an empty line and blanks ask again, without the introduction",
         b"1\n\n   \nd\n100\n",
         [START, drive_again(), drive_again(), drive_again(), size_screen("D"), made("D")], 0,
         checks=[image(100)]),
    Case("a byte beyond ASCII and a NUL line are no drive letters", b"\xe4\n\0d\nd\n100\n",
         [START, drive_again(), drive_again(), size_screen("D"), made("D")], 0,
         checks=[image(100)]),
    Case("'Laufwerk D' is drive L; end of input at the size question", b"Laufwerk D\n",
         [START, size_screen("L"), PROMPT], -1, checks=[no_image()]),
    # Of a line longer than 29 characters, the rest is dropped: it answers
    # no other question.
    Case("a line of 40 characters counts by its first 29, the rest is dropped",
         b"1" * 29 + b"d" + b"2" * 10 + b"\ne\n100\n",
         [START, drive_again(), size_screen("E"), made("E")], 0, checks=[image(100, "E")]),
    Case("a line of exactly 29 characters: its line end is no answer of its own",
         b"d" + b" " * 28 + b"\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)]),
    Case("a 30-character drive answer does not answer the replacement question",
         b"d" * 29 + b"j\nn\n\n",
         [START, replace_screen("D", 100), PROMPT], 0,
         setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)]),
    Case("a pasted path at the drive question does not answer the replacement question",
         b"D:\\Daten\\Sicherung\\2026\\Juni\\jahr.img\n\n",
         [START, replace_screen("D", 100), PROMPT], 0,
         setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)]),
    Case("294 digits at the size question ask again, and make no image of their own",
         b"d\n" + b"1" * 294 + b"\n100\n",
         [START, size_screen("D"), size_screen("D"), made("D")], 0, checks=[image(100)]),
    Case("end of input at the drive question", b"",
         [START, PROMPT], -1),
    Case("end of input after an answer that was no letter", b"7\n",
         [START, drive_again(), PROMPT], -1),

    # The size question.
    Case("'99', '-5' and an empty line ask the size again", b"d\n99\n-5\n\n100\n",
         [START] + [size_screen("D")] * 4 + [made("D")], 0, checks=[image(100)]),
    Case("'+200' is 200", b"d\n+200\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(200)]),
    Case("'150MB' is 150", b"d\n150MB\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(150)]),
    Case("'abc' at the size question ends with status 0", b"d\nabc\n\n",
         [START, size_screen("D"), PROMPT], 0, checks=[no_image()]),
    Case("a sign with no digit behind it ends with status 0", b"d\n- 5\n",
         [START, size_screen("D"), PROMPT], 0, checks=[no_image()]),
    Case("29 blanks are an empty answer, the rest of their line dropped",
         b"d\n" + b" " * 29 + b"150\n120\n",
         [START, size_screen("D"), size_screen("D"), made("D")], 0, checks=[image(120)]),
    Case("numbers beyond 32 bits ask the size again",
         b"d\n99999999999\n-99999999999\n2147483648\n-2147483649\n100\n",
         [START] + [size_screen("D")] * 5 + [made("D")], 0, checks=[image(100)]),
    Case("end of input at the size question", b"d\n",
         [START, size_screen("D"), PROMPT], -1, checks=[no_image()]),

    # Nothing was there when the program looked, something is when it
    # creates the image: the creation itself refuses it, and it is asked
    # about then.  Only a 'j' or 'y' replaces it.
    Case("a drive plugged in after the letter: its old image is asked about, 'n' keeps it",
         b"q\n", LATE_QUESTION + [PROMPT], 0,
         meanwhile=(plug_in_drive("Q"), b"100\nn\n\n"),
         checks=[old_image_kept(OLD_SIZE, letter="Q")]),
    Case("a drive plugged in after the letter: 'j' replaces its old image", b"q\n",
         LATE_QUESTION + [made("Q")], 0,
         meanwhile=(plug_in_drive("Q"), b"100\nj\n\n"), checks=[image(100, "Q")]),
    Case("a drive plugged in after the letter: end of input at the question keeps the image",
         b"q\n", LATE_QUESTION + [PROMPT], -1,
         meanwhile=(plug_in_drive("Q"), b"100\n"),
         checks=[old_image_kept(OLD_SIZE, letter="Q")]),
    Case("an image made on the drive meanwhile is asked about; 'x' keeps it", b"d\n",
         [START, size_screen("D"), TITLE, replace_screen("D", 100), PROMPT], 0,
         meanwhile=(image_appears, b"120\nx\n"), checks=[old_image_kept(OLD_SIZE)]),
    Case("an image made on the drive meanwhile is replaced on 'y'", b"d\n",
         [START, size_screen("D"), TITLE, replace_screen("D", 100), made("D")], 0,
         meanwhile=(image_appears, b"120\ny\n"), checks=[image(120)]),

    # A 'j' is for the file that the question showed, not for one that
    # takes its name later: that one is asked about, and kept on 'n'.
    Case("after 'j' another image appears meanwhile: asked about, 'n' keeps it", b"d\nj\n",
         [START, replace_screen("D", 150), size_screen("D"), TITLE, replace_screen("D", 100),
          PROMPT], 0, setup=old_image(150 * MB),
         meanwhile=(image_appears, b"120\nn\n\n"), checks=[old_image_kept(OLD_SIZE)]),
    Case("after 'j' another image appears meanwhile: a second 'j' replaces it", b"d\nj\n",
         [START, replace_screen("D", 150), size_screen("D"), TITLE, replace_screen("D", 100),
          made("D")], 0, setup=old_image(150 * MB),
         meanwhile=(image_appears, b"120\nj\n\n"), checks=[image(120)]),
    Case("an image that could not be deleted, replaced meanwhile by another: 'n' keeps that",
         b"d\nj\n",
         [START, replace_screen("D", 150), size_screen("D"), TITLE, replace_screen("D", 100),
          PROMPT], 0, setup=lambda: undeletable_old_image(image_path("D"), 150 * MB),
         meanwhile=(undeletable_image_swapped, b"120\nn\n\n"),
         checks=[old_image_kept(OLD_SIZE)]),
    Case("an image that could not be deleted, replaced meanwhile by another: 'j' replaces that",
         b"d\nj\n",
         [START, replace_screen("D", 150), size_screen("D"), TITLE, replace_screen("D", 100),
          made("D")], 0, setup=lambda: undeletable_old_image(image_path("D"), 150 * MB),
         meanwhile=(undeletable_image_swapped, b"120\nj\n\n"), checks=[image(120)]),
    # Another file between the look and the open of the agreed one, which
    # could not be deleted: the descriptor shows it, and it is asked about.
    Case("a file that takes the agreed one's place at its open is asked about, not cut",
         b"d\nj\n100\nn\n",
         [START, replace_screen("D", 100), size_screen("D"), TITLE, replace_screen("D", 100),
          PROMPT], 0, setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)],
         builds=FAULTS, env={"TOLVERA_FAULT": "unlink:1:16,fstat:1:other"}),
] + [
    # A FIFO or a device that the user agreed to replace and that cannot
    # be deleted is neither waited on nor written.
    Case("an undeletable %s after 'j': no wait, nothing written, a clear reason" % kind,
         b"d\nj\n100\n\n",
         [START, replace_screen("D", 0), size_screen("D"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, 1000)], setup=plant,
         checks=[kept, nothing_opened_but_the_creation], builds=FAULTS,
         env={"TOLVERA_FAULT": "unlink:1:16", "TOLVERA_FAULT_TRACE": TRACE})
    for kind, plant, kept in (("FIFO", plant_fifo, fifo_kept),
                              ("device", plant_device, device_kept))
] + [
    # The agreed image, its deletion failed, met again by the creation:
    # each step on it that fails leaves it as it was, and is told; a look
    # that cannot tell it is the same file asks about what is there.
    Case("an undeletable old image whose %s fails is kept, the failure told" % step,
         b"d\nj\n100\n\n", [START, replace_screen("D", 100), size_screen("D"), TITLE, PROMPT],
         -1, stderr=[(CANNOT_CREATE, error)], setup=old_image(OLD_SIZE),
         checks=[old_image_kept(OLD_SIZE)], builds=FAULTS,
         env={"TOLVERA_FAULT": "unlink:1:16," + fault})
    for step, fault, error in (
        ("open", "open:2:13", "EACCES"), ("identity", "fstat:1:5", "EIO"),
        ("mode change", "fchmod:1:1", "EPERM"), ("cutting", "ftruncate:1:5", "EIO"))
] + [
    Case("an undeletable old image that a look cannot tell is asked about again",
         b"d\nj\n100\nn\n",
         [START, replace_screen("D", 100), size_screen("D"), TITLE, replace_screen("D", 100),
          PROMPT], 0, setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)],
         builds=FAULTS, env={"TOLVERA_FAULT": "unlink:1:16,lstat:3:5"}),
    # The partial image, closed after a failure, and by now another file
    # at its name: that one is not deleted.
    Case("a file that has taken the partial image's name is not deleted", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO")], checks=[partial_image_left], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:57:5,lstat:2:other"}),

    # The look at that moment fails: nothing is asked, nothing touched.
    Case("a look that fails when the creation finds a file ends the run, the file kept",
         b"d\n100\n\n", [START, size_screen("D"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_LOOK, "EIO")], setup=old_image(OLD_SIZE),
         checks=[old_image_kept(OLD_SIZE)], builds=FAULTS,
         env={"TOLVERA_FAULT": "lstat:1:2,lstat:2:5"}),
    # Refused by the creation, but not there for the look, time after
    # time: the creation gives up, and nothing is touched.
    Case("a file that the creation refuses and the look does not find: tried three times",
         b"d\n100\n\n", [START, size_screen("D"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, "EEXIST")], setup=old_image(OLD_SIZE),
         checks=[old_image_kept(OLD_SIZE), opened(3)], builds=FAULTS,
         env={"TOLVERA_FAULT": "lstat:1:2,lstat:2:2,lstat:3:2", "TOLVERA_FAULT_TRACE": TRACE}),
    # Under Wine that is a dangling link: Wine follows it for the look
    # (nothing there) but not for the creation of a new file.
    Case("a dangling link under Wine is refused, nothing created where it points",
         b"d\n100\n\n", [START, size_screen("D"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, "EEXIST")], setup=plant_link("/mnt/e/created"),
         checks=[nothing_created_through_link, dangling_link_kept], builds=("windows",)),

    # Drives that cannot take the image.
    Case("a drive with nothing behind it", b"q\n100\n\n",
         [START, size_screen("Q"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, "ENOENT")]),
    Case("a read-only drive", b"r\n100\n\n",
         [START, size_screen("R"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, {"native": "EROFS", "windows": "EACCES"})],
         checks=[no_image("R")]),
    Case("a full disk: the system's reason, the partial image deleted", b"f\n200\n\n",
         [START, size_screen("F"), creating("F"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, DISK_FULL)], checks=[no_image("F")]),
    Case("the largest size fills the disk", b"f\n2147483647\n",
         [START, size_screen("F"), creating("F"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, DISK_FULL)], checks=[no_image("F")]),

    # An image that is already there.
    Case("an existing image of 100 MB is shown as 100; 'n' keeps it", b"d\nn\n\n",
         [START, replace_screen("D", 100), PROMPT], 0,
         setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)]),
    Case("an existing file of 1,048,575 bytes is shown as 0", b"d\nn\n",
         [START, replace_screen("D", 0), PROMPT], 0,
         setup=old_image(MB - 1), checks=[old_image_kept(MB - 1)]),
    Case("an existing image of 5 GiB is asked about, not deleted", b"d\nn\n",
         [START, replace_screen("D", 5120), PROMPT], 0,
         setup=old_image(5 * 1024 * MB), checks=[old_image_kept(5 * 1024 * MB)]),
    Case("end of input at the replacement question keeps the image", b"d\n",
         [START, replace_screen("D", 100), PROMPT], -1,
         setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)]),
    Case("'j' deletes at once: 'abc' then leaves no image", b"d\nj\nabc\n",
         [START, replace_screen("D", 100), size_screen("D"), PROMPT], 0,
         setup=old_image(OLD_SIZE), checks=[no_image()]),
    Case("'j' deletes at once: end of input then leaves no image", b"d\nj\n",
         [START, replace_screen("D", 100), size_screen("D"), PROMPT], -1,
         setup=old_image(OLD_SIZE), checks=[no_image()]),
    Case("a read-only existing image is replaced", b"d\nj\n120\n",
         [START, replace_screen("D", 100), size_screen("D"), made("D")], 0,
         setup=old_image(OLD_SIZE, 0o444), checks=[image(120)]),
    Case("an image that cannot be deleted is overwritten and cut to size", b"d\nj\n100\n",
         [START, replace_screen("D", 150), size_screen("D"), made("D")], 0,
         setup=lambda: undeletable_old_image(image_path("D"), 150 * MB),
         checks=[image(100)]),
    # Root may write a read-only file: it is the mode change that makes the
    # replaced image writable again.
    Case("a read-only image that cannot be deleted is made writable and replaced",
         b"d\nj\n100\n",
         [START, replace_screen("D", 150), size_screen("D"), made("D")], 0,
         setup=lambda: undeletable_old_image(image_path("D"), 150 * MB, 0o444),
         checks=[image(100)]),
] + [
    Case("%r replaces the existing image" % answer, b"d\n" + answer + b"\n100\n",
         [START, replace_screen("D", 100), size_screen("D"), made("D")], 0,
         setup=old_image(OLD_SIZE, 0o600), checks=[image(100)])
    for answer in (b"j", b"ja", b"J", b"y", b"Yes", b"  j")
] + [
    Case("%r keeps the existing image" % answer, b"d\n" + answer + b"\n\n",
         [START, replace_screen("D", 100), PROMPT], 0,
         setup=old_image(OLD_SIZE, 0o600), checks=[old_image_kept(OLD_SIZE, 0o600)])
    for answer in (b"n", b"x", b"", b"   ", b"Nein, ja")
] + [
    # Modes: read and write, as far as the umask allows.
    Case("umask %03o gives mode %03o" % (umask, mode), b"d\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100, mode=mode)],
         umask=umask, builds=NATIVE)
    for umask, mode in ((0o022, 0o644), (0o077, 0o600), (0o002, 0o664), (0, 0o666))
] + [
    # A symbolic link planted at the image path.
    Case("a link at the image path is shown as the link, and kept on 'n'", b"d\nn\n",
         [START, replace_screen("D", 0), PROMPT], 0,
         setup=plant_link(), checks=[victim_untouched, link_kept], builds=NATIVE),
    Case("a link at the image path is replaced, not what it points to", b"d\nj\n100\n",
         [START, replace_screen("D", 0), size_screen("D"), made("D")], 0,
         setup=plant_link(), checks=[victim_untouched, image(100)], builds=NATIVE),
    Case("a dangling link creates nothing where it points", b"d\nj\n100\n",
         [START, replace_screen("D", 0), size_screen("D"), made("D")], 0,
         setup=plant_link("/mnt/e/created"),
         checks=[nothing_created_through_link, image(100)], builds=NATIVE),
    Case("a link that cannot be deleted is neither followed nor changed", b"d\nj\n100\n",
         [START, replace_screen("D", 0), size_screen("D"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, "ELOOP")], setup=plant_link(),
         checks=[victim_untouched, link_kept], builds=FAULTS,
         env={"TOLVERA_FAULT": "unlink:1:16,unlink:2:16"}),

    # A folder named TOLVERA.IMG is refused, and keeps its mode.
    Case("a folder at the image path is not made writable", b"d\nj\n100\n",
         [START, replace_screen("D", 0), size_screen("D"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, {"native": "EISDIR", "faults": "EISDIR",
                                  "windows": "EACCES"})],
         setup=plant_folder, checks=[folder_kept]),

    # A device named TOLVERA.IMG that cannot be deleted keeps its mode.
    Case("a device at the image path is not made writable", b"d\nj\nabc\n",
         [START, replace_screen("D", 0), size_screen("D"), PROMPT], 0,
         setup=plant_device, checks=[device_kept], builds=FAULTS,
         env={"TOLVERA_FAULT": "unlink:1:16"}),

    # Failures that the machine cannot be made to produce on demand.
    Case("no memory for the block: the error number is the status", b"d\n100\n",
         [START, size_screen("D"), TITLE, PROMPT], 12,
         stderr=[(NO_MEMORY, "ENOMEM")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "posix_memalign:1:12"}),
    Case("the open fails", b"d\n100\n",
         [START, size_screen("D"), TITLE, PROMPT], -1,
         stderr=[(CANNOT_CREATE, "EACCES")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "open:1:13"}),
    Case("a write that takes half the block goes on with the rest", b"d\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:1:short,write:57:short"}),
    Case("a failed write deletes the image", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:57:5"}),
    Case("a write that writes nothing counts as a failing device", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:57:zero"}),
    Case("a failed flush to the drive counts as a failed write", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "fsync:1:5"}),
    Case("a file system that cannot reserve is written as it is", b"d\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)], builds=FAULTS,
         env={"TOLVERA_FAULT": "fallocate:1:95"}),
    Case("a drive too small that cannot reserve fails before the first block", b"f\n200\n",
         [START, size_screen("F"), creating("F"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "ENOSPC")], checks=[no_image("F"), nothing_written],
         builds=FAULTS, env={"TOLVERA_FAULT": "fallocate:1:95", "TOLVERA_FAULT_TRACE": TRACE}),
    # A look at the image path that fails for another reason than that
    # nothing is there: nothing is asked, nothing touched.
    Case("a look that is refused ends the run, the old image untouched", b"d\nj\n100\n",
         [START, PROMPT], -1, stderr=[(CANNOT_LOOK, "EACCES")],
         setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)], builds=FAULTS,
         env={"TOLVERA_FAULT": "lstat:1:13"}),
    Case("a look that fails on the device ends the run, the old image untouched",
         b"d\nj\n100\n",
         [START, PROMPT], -1, stderr=[(CANNOT_LOOK, "EIO")],
         setup=old_image(OLD_SIZE), checks=[old_image_kept(OLD_SIZE)], builds=FAULTS,
         env={"TOLVERA_FAULT": "lstat:1:5"}),
] + [
    Case("a look that finds nothing there (%s) goes on to the size" % name, b"d\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)], builds=FAULTS,
         env={"TOLVERA_FAULT": "lstat:1:%d" % number})
    for name, number in (("ENOENT", 2), ("ENOTDIR", 20), ("ENXIO", 6))
] + [
    # An incomplete image that cannot be deleted is named to the user.
    Case("a failed write whose image cannot be deleted says so", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO"), image_left("D")], checks=[partial_image_left],
         builds=FAULTS, env={"TOLVERA_FAULT": "write:57:5,unlink:1:5"}),
    Case("an image whose deletion cannot be confirmed is named", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO"), image_left("D")], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:57:5,lstat:2:5"}),
    # An interrupt whose signal, raised again to end the program, does not
    # end it (blocked): the program ends itself with the shell's status.
    Case("an interrupt whose signal is blocked at the end: status 128 + N, no image",
         b"d\n100\n", [START, size_screen("D"), creating("D")], 130,
         stderr=[(CANNOT_WRITE, "EINTR")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:30:sig2,raise:1:blocked"}),

    # The partial image goes, whatever happens to the program's output.
    Case("standard error closed at its far end: the partial image is still deleted",
         b"d\n100\n", [START, size_screen("D"), creating("D"), PROMPT], -1,
         closed_stderr=True, checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:57:5"}),
    Case("an error line that cannot be written changes nothing else", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "write:57:5,vfprintf:1:5"}),
    Case("a failed close counts as a failed write", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[(CANNOT_WRITE, "EIO")], checks=[no_image()], builds=FAULTS,
         env={"TOLVERA_FAULT": "close:1:5"}),

    # The room the flushed image holds on the drive, in blocks of 512
    # bytes (the second fstat; the first takes the new file's identity): a
    # whole megabyte short or more (a drive that compresses it) is told,
    # with no "Fertig!", and the complete image stays; less short, or a
    # drive that does not say, is no failure.
    Case("an image that holds none of its room is told of, and kept", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[room_not_held("D", 0, 100)], checks=[image(100)], builds=FAULTS,
         env={"TOLVERA_FAULT": "fstat:2:blocks0"}),
    Case("an image a whole megabyte short of its room is told of", b"d\n100\n",
         [START, size_screen("D"), creating("D"), PROMPT], -1,
         stderr=[room_not_held("D", 99, 100)], checks=[image(100)], builds=FAULTS,
         env={"TOLVERA_FAULT": "fstat:2:blocks%d" % (99 * 2048)}),
    Case("an image less than a megabyte short of its room is made", b"d\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)], builds=FAULTS,
         env={"TOLVERA_FAULT": "fstat:2:blocks%d" % (99 * 2048 + 1)}),
    Case("a drive that does not say what room the image holds: made", b"d\n100\n",
         [START, size_screen("D"), made("D")], 0, checks=[image(100)], builds=FAULTS,
         env={"TOLVERA_FAULT": "fstat:2:5"}),
]
