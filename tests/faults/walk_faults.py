#!/usr/bin/env python3
"""Makes every runtime call of a run fail in turn, and checks what follows.

  walk_faults.py build/native/tests/tolvera-image-faults

For each scenario (the lines typed, an old image on the drive or not) the
program first runs undisturbed with its calls traced.  Then, for every call
of that trace, it runs again with just that call failing (a write also once
writing only half its bytes), and the outcome is checked against what the
failed call must lead to:

  query            as if no file were there
  chmod, unlink,   not looked at: the outcome of the undisturbed run (an
  flush            old image that a failed deletion kept is still there)
  print            the same, less that one text on standard output
  read             as if the input had ended before that line
  allocate         the error, the exit prompt, the error number as status
  open             the error; the block freed; status -1
  reserve, write,  the error; the block freed, the file closed, the image
  writeback, fsync deleted; status -1
  close            the same, but the file is not closed again
  short write      the rest of the block is written; a whole image
  reserve,         a file system that cannot reserve or write back ahead
  writeback        (EOPNOTSUPP, EINVAL): the outcome of the undisturbed run

and an interrupt (SIGINT, SIGTERM, SIGHUP in turn) that arrives during:

  read #1          before the writing: the signal ends the program at once
  reserve, the     while writing: no more blocks; the error text for EINTR;
  first and last   the block freed, the file closed, the image deleted; no
  write, the first exit prompt; the process ends by the signal
  writeback, fsync
  close            after the writing: the signal ends the program at once,
                   the image complete

Each run is checked for its standard output and error, exit status, what
is left at the image path, and, after a failure, the order of the clean-up.
"""

import errno
import os
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import drives  # noqa: E402
from cases import CANNOT_CREATE, CANNOT_WRITE, NO_MEMORY  # noqa: E402
from texts import PROMPT, error_line, first_screen  # noqa: E402

START = first_screen()

PATH = drives.image_path("D")
OLD_SIZE = 100 * drives.MB

ERRORS = {
    "allocate": errno.ENOMEM, "query": errno.EIO, "chmod": errno.EPERM,
    "unlink": errno.EBUSY, "open": errno.EACCES, "write": errno.ENOSPC,
    "reserve": errno.ENOSPC, "writeback": errno.EIO, "fsync": errno.EIO,
    "close": errno.EIO, "read": errno.EIO, "print": errno.EIO, "flush": errno.EIO,
}
# What a file system says that cannot do it; the program then goes on.
NOT_SUPPORTED = {"reserve": errno.EOPNOTSUPP, "writeback": errno.EINVAL}
INTERRUPTS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
WRITING = ("reserve", "write", "writeback", "fsync")

# What follows a failure, up to the exit prompt's output and read.
PROMPT_CALLS = ["print", "flush", "read"]
CLEAN_UP = {
    "allocate": PROMPT_CALLS,
    "open": ["release"] + PROMPT_CALLS,
    "write": ["release", "close", "unlink"] + PROMPT_CALLS,
    "reserve": ["release", "close", "unlink"] + PROMPT_CALLS,
    "writeback": ["release", "close", "unlink"] + PROMPT_CALLS,
    "fsync": ["release", "close", "unlink"] + PROMPT_CALLS,
    "close": ["release", "unlink"] + PROMPT_CALLS,
}


class Scenario:
    def __init__(self, name, input, old_image):
        self.name = name
        self.input = input
        self.old_image = old_image


SCENARIOS = [
    Scenario("a new image", b"d\n100\n\n", False),
    Scenario("an old image replaced", b"d\nj\n100\n\n", True),
    Scenario("an old image kept", b"x\nd\nn\n\n", True),
    Scenario("'abc' after the old image was deleted", b"d\nj\nabc\n\n", True),
    Scenario("the size asked again", b"d\n50\n\n150\n\n", False),
    Scenario("end of input at the size question", b"d\n", False),
]


class Outcome:
    def __init__(self, stdout, stderr, status, left, trace):
        self.stdout = stdout
        self.stderr = stderr
        self.status = status
        self.left = left
        self.trace = trace


def what_is_left():
    """What the run left at the image path, in a word."""
    if not os.path.lexists(PATH):
        return "nothing"
    if drives.old_image_intact(PATH, OLD_SIZE):
        return "the old image"
    size = os.lstat(PATH).st_size
    if size % drives.MB == 0 and drives.zero_image_problem(PATH, size // drives.MB) is None:
        return "an image of %d MB" % (size // drives.MB)
    return "a broken file of %d bytes" % size


def run(program, input, old_image, faults=""):
    drives.prepare_drives()
    if old_image:
        drives.write_old_image(PATH, OLD_SIZE)
    with tempfile.NamedTemporaryFile(prefix="tolvera-trace-") as trace:
        env = dict(os.environ, TOLVERA_FAULT=faults, TOLVERA_FAULT_TRACE=trace.name)
        # As from a terminal: a test runner may have started us with
        # interrupts ignored, and the program leaves ignored ones alone.
        result = subprocess.run([program], input=input, capture_output=True, env=env,
                                timeout=60, preexec_fn=usual_interrupts)
        calls = trace.read().decode().split()
    return Outcome(result.stdout, result.stderr, result.returncode, what_is_left(), calls)


def usual_interrupts():
    for number in INTERRUPTS:
        signal.signal(number, signal.SIG_DFL)


def perror_line(text, error):
    return error_line(text, error)


def lines_before(input, count):
    return b"".join(input.splitlines(keepends=True)[:count])


def without_one_text(got, base):
    """Whether got is base with one non-empty piece cut out."""
    if len(got) >= len(base):
        return False
    same = 0
    while same < len(got) and got[same] == base[same]:
        same += 1
    return base.endswith(got[same:])


class Walk:
    def __init__(self, program):
        self.program = program
        self.runs = 0
        self.failures = []

    def run(self, *arguments):
        self.runs += 1
        return run(self.program, *arguments)

    def check(self, label, got, expected, trace_after=None, index=None):
        problems = []
        for field in ("stdout", "stderr", "status", "left"):
            want = getattr(expected, field)
            have = getattr(got, field)
            if callable(want):
                if not want(have):
                    problems.append("%s %r does not fit" % (field, have[-300:]))
            elif have != want:
                problems.append("%s: got %r, expected %r" % (field, have[-300:], want[-300:]
                                                             if isinstance(want, bytes) else want))
        if trace_after is not None and got.trace[index + 1:] != trace_after:
            problems.append("calls after the failure: %s, expected %s"
                            % (got.trace[index + 1:], trace_after))
        if problems:
            self.failures.append(label + "\n  " + "\n  ".join(problems))

    def expectation(self, scenario, base, index, use, error):
        """The outcome that a failure of call number index must lead to."""
        kind = base.trace[index]
        if kind == "query":
            absent = self.run(scenario.input, False)
            left = absent.left
            if scenario.old_image and left == "nothing":
                left = "the old image"
            return Outcome(absent.stdout, absent.stderr, absent.status, left, None)
        if kind == "read":
            return self.run(lines_before(scenario.input, use - 1), scenario.old_image)
        if kind == "print":
            return Outcome(lambda out: without_one_text(out, base.stdout), base.stderr,
                           base.status, base.left, None)
        if kind == "unlink" and scenario.old_image and base.left == "nothing" \
                and "open" not in base.trace[index:]:
            # The failed deletion was the one that removed the old image.
            return Outcome(base.stdout, base.stderr, base.status, "the old image", None)
        if kind in ("chmod", "unlink", "flush"):
            return base
        message = {"allocate": NO_MEMORY, "open": CANNOT_CREATE}.get(kind, CANNOT_WRITE)
        # The screen cleared before the work, then the text under which it is done.
        cut = base.stdout.index(b"\n\rLege" if kind in ("allocate", "open") else b"Fertig!")
        return Outcome(base.stdout[:cut] + PROMPT, perror_line(message, error),
                       error if kind == "allocate" else 255, "nothing", None)

    @staticmethod
    def interrupt_site(trace, index, uses):
        kind = trace[index]
        if kind == "write":
            return uses[kind] in (1, trace.count("write"))
        if kind == "read":
            return uses[kind] == 1
        return kind in ("reserve", "fsync", "close") or (kind == "writeback" and uses[kind] == 1)

    def interrupt(self, scenario, base, index, use):
        """A signal that arrives as call number index starts."""
        kind = base.trace[index]
        number = INTERRUPTS[self.runs % len(INTERRUPTS)]
        label = "%s: %s during %s #%d" % (scenario.name, signal.Signals(number).name, kind, use)
        got = self.run(scenario.input, scenario.old_image, "%s:%d:sig%d" % (kind, use, number))
        problems = []
        if got.status != -number:
            problems.append("status %d, expected the signal %d" % (got.status, number))
        if kind in WRITING:
            expected = Outcome(base.stdout[:base.stdout.index(b"Fertig!")],
                               perror_line(CANNOT_WRITE, errno.EINTR), -number, "nothing", None)
            after = [call for call in got.trace[index + 1:] if call not in ("writeback", "fsync")]
            if after != ["release", "close", "unlink"]:
                problems.append("calls after the interrupt: %s" % got.trace[index + 1:])
        else:
            # Before or after the writing, nothing is cleaned up and nothing
            # is lost: the program ends on the spot.
            cut = base.stdout.index(b"Fertig!") if kind == "close" else len(START)
            left = base.left if kind == "close" else ("the old image" if scenario.old_image
                                                      else "nothing")
            expected = Outcome(base.stdout[:cut], b"", -number, left, None)
            if got.trace[index + 1:]:
                problems.append("calls after the interrupt: %s" % got.trace[index + 1:])
        if problems:
            self.failures.append(label + "\n  " + "\n  ".join(problems))
        self.check(label, got, expected)

    def walk(self, scenario):
        base = self.run(scenario.input, scenario.old_image)
        if base.stdout[-len(PROMPT):] != PROMPT:
            self.failures.append("%s: the undisturbed run did not end at the prompt"
                                 % scenario.name)
            return 0
        uses = {}
        sites = 0
        for index, kind in enumerate(base.trace):
            uses[kind] = uses.get(kind, 0) + 1
            if kind == "release":
                continue
            sites += 1
            use = uses[kind]
            error = ERRORS[kind]
            label = "%s: %s #%d fails with %s" % (scenario.name, kind, use,
                                                  errno.errorcode[error])
            got = self.run(scenario.input, scenario.old_image, "%s:%d:%d" % (kind, use, error))
            expected = self.expectation(scenario, base, index, use, error)
            self.check(label, got, expected, CLEAN_UP.get(kind), index)
            if kind in NOT_SUPPORTED:
                got = self.run(scenario.input, scenario.old_image, "%s:%d:%d"
                               % (kind, use, NOT_SUPPORTED[kind]))
                self.check("%s: %s #%d cannot be done here" % (scenario.name, kind, use),
                           got, base)
            if self.interrupt_site(base.trace, index, uses):
                self.interrupt(scenario, base, index, use)
            if kind == "write":
                got = self.run(scenario.input, scenario.old_image, "write:%d:short" % use)
                self.check("%s: write #%d writes half" % (scenario.name, use), got, base)
                if got.trace.count("write") != base.trace.count("write") + 1:
                    self.failures.append("%s: write #%d writes half: the rest was not "
                                         "written by one more call" % (scenario.name, use))
        return sites


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: walk_faults.py PROGRAM")
    drives.enter_private_namespace()
    walk = Walk(os.path.abspath(sys.argv[1]))
    sites = 0
    for scenario in SCENARIOS:
        count = walk.walk(scenario)
        sites += count
        print("%-40s %4d calls failed in turn" % (scenario.name, count))
    for failure in walk.failures:
        print("FAIL " + failure)
    print("%d call sites failed in %d scenarios, %d runs, %d failures"
          % (sites, len(SCENARIOS), walk.runs, len(walk.failures)))
    sys.exit(1 if walk.failures else 0)


if __name__ == "__main__":
    main()
