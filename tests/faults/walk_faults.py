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
  the last look    right after the last look at the interrupt flag: the
  at the flag      signal ends the program at once, the image complete
  close            after the writing: the signal ends the program at once,
                   the image complete

each also with the three signals ignored from the start (nohup): then the
outcome of the undisturbed run.  Further faults at chosen sites (FURTHER):
the reservation refused for a quota or a file too large; write-back
unsupported with each error number that means so; a file system that
cannot reserve, and a drive that reports its free space (too little, just
enough, beyond 64 bits) or nothing; an interrupt during a failing write,
right after the look before one, and during a failing flush; a write
failing with an error number the program has no words for.

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
# Traced, but never failed: the release cannot fail, and the look at the
# interrupt flag only shows when an interrupt can come.
NOT_FAILED = ("release", "look")

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
# An interrupt that came during a failed write ends the program once the
# image is deleted, without the exit prompt.
INTERRUPTED_CLEAN_UP = ["release", "close", "unlink"]


class Road:
    """The write-failure road: the error line (for an error number, or the
    bytes given), the image deleted; the calls between the failed call and
    the clean-up in first.  Interrupted, the run ends by the signal after
    the clean-up, without the exit prompt."""

    def __init__(self, error, first=(), interrupted=False):
        self.error = error
        self.first = list(first)
        self.interrupted = interrupted

    def expectation(self, base, signal_number):
        """The outcome and the calls after the failed call."""
        stderr = self.error
        if not isinstance(stderr, bytes):
            stderr = perror_line(CANNOT_WRITE, stderr)
        stdout = base.stdout[:base.stdout.index(b"Fertig!")]
        if self.interrupted:
            return (Outcome(stdout, stderr, -signal_number, "nothing", None),
                    self.first + INTERRUPTED_CLEAN_UP)
        return (Outcome(stdout + PROMPT, stderr, 255, "nothing", None),
                self.first + CLEAN_UP["write"])


# The outcome of the undisturbed run.
SAME = object()


class Further:
    """A fault planned at the chosen uses of a call, and what it leads to.
    what and plan may name {use}, {signal} and {name} (the signal's number
    and name), {pages} (the image in blocks of 4096 bytes), {fewer} (one
    less) and {many}."""

    def __init__(self, what, call, uses, plan, outcome):
        self.what = what
        self.call = call
        self.uses = uses
        self.plan = plan
        self.outcome = outcome


def each(use, count):
    return True


def first(use, count):
    return use == 1


def first_and_last(use, count):
    return use in (1, count)


def before_first_and_last_write(use, count):
    """The looks at the flag before the first and the last write (one more
    look follows the last write)."""
    return use in (1, count - 1)


# Blocks of 1 MiB whose bytes, multiplied in 64 bits, wrap round to 1 MiB.
MANY_MEGABYTES = 2 ** 44 + 1
# An error number that the program has no German words for.
UNKNOWN = errno.EREMOTEIO
CANNOT_RESERVE = "reserve:{use}:%d,freespace:1:" % errno.EOPNOTSUPP

FURTHER = [
    Further("is refused: quota exceeded", "reserve", each,
            "reserve:{use}:%d" % errno.EDQUOT, Road(errno.EDQUOT)),
    Further("is refused: file too large", "reserve", each,
            "reserve:{use}:%d" % errno.EFBIG, Road(errno.EFBIG)),
] + [
    Further("cannot be done here (%s)" % errno.errorcode[error], "writeback", first,
            "writeback:{use}:%d" % error, SAME)
    for error in (errno.ESPIPE, errno.ENOSYS, errno.EOPNOTSUPP)
] + [
    # A file system that cannot reserve: the free space its drive reports.
    Further("cannot be done, and the drive " + what, "reserve", each, CANNOT_RESERVE + answer,
            outcome)
    for what, answer, outcome in (
        ("cannot tell its free space", "%d" % errno.ENOSYS, SAME),
        ("reports no blocks", "report4096/0/0", SAME),
        ("reports blocks of no size", "report0/{pages}/{pages}", SAME),
        ("has one block too few free", "report4096/{pages}/{fewer}",
         Road(errno.ENOSPC, first=["freespace"])),
        ("has just enough free", "report4096/{pages}/{pages}", SAME),
        ("has more bytes free than 64 bits hold", "report1048576/{many}/{many}", SAME),
    )
] + [
    # Interrupts on the way to a failure.
    Further("fails, {name} arriving as it starts", "write", first_and_last,
            "write:{use}:sig{signal},write:{use}:%d" % errno.ENOSPC,
            Road(errno.ENOSPC, interrupted=True)),
    Further("is followed by {name}, and the next write fails", "look",
            before_first_and_last_write,
            "look:{use}:sig{signal},write:{use}:%d" % errno.ENOSPC,
            Road(errno.ENOSPC, first=["write"], interrupted=True)),
    Further("fails, {name} arriving as it starts", "fsync", each,
            "fsync:{use}:sig{signal},fsync:{use}:%d" % errno.EIO,
            Road(errno.EIO, interrupted=True)),
    Further("fails with an error number that has no German words", "write", first,
            "write:{use}:%d" % UNKNOWN,
            Road(b"%s: Unbekannter Fehler %d\n" % (CANNOT_WRITE.encode(), UNKNOWN))),
]


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


def run(program, input, old_image, faults="", ignored=False):
    drives.prepare_drives()
    if old_image:
        drives.write_old_image(PATH, OLD_SIZE)
    with tempfile.NamedTemporaryFile(prefix="tolvera-trace-") as trace:
        env = dict(os.environ, TOLVERA_FAULT=faults, TOLVERA_FAULT_TRACE=trace.name)
        # As from a terminal: a test runner may have started us with
        # interrupts ignored, and the program leaves ignored ones alone.
        # Or as nohup starts a program, with them ignored.
        action = signal.SIG_IGN if ignored else signal.SIG_DFL
        try:
            result = subprocess.run([program], input=input, capture_output=True, env=env,
                                    timeout=30, preexec_fn=lambda: set_interrupts(action))
        except subprocess.TimeoutExpired as hung:
            return Outcome(hung.stdout or b"", hung.stderr or b"", "hung", what_is_left(),
                           trace.read().decode().split())
        calls = trace.read().decode().split()
    return Outcome(result.stdout, result.stderr, result.returncode, what_is_left(), calls)


def set_interrupts(action):
    for number in INTERRUPTS:
        signal.signal(number, action)


def perror_line(text, error):
    return error_line(text, error)


def tail(value):
    """The end of a long output, to show."""
    return value[-300:] if isinstance(value, bytes) else value


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

    def run(self, *arguments, **keywords):
        self.runs += 1
        return run(self.program, *arguments, **keywords)

    def check(self, label, got, expected, trace_after=None, index=None, base=None):
        """Compares a run with its expected outcome; with trace_after, also
        its calls: those of the undisturbed run base up to call number index,
        then trace_after."""
        problems = []
        for field in ("stdout", "stderr", "status", "left"):
            want = getattr(expected, field)
            have = getattr(got, field)
            if callable(want):
                if not want(have):
                    problems.append("%s %r does not fit" % (field, tail(have)))
            elif have != want:
                problems.append("%s: got %r, expected %r" % (field, tail(have), tail(want)))
        if trace_after is not None and got.trace[index + 1:] != trace_after:
            problems.append("calls after the failure: %s, expected %s"
                            % (got.trace[index + 1:], trace_after))
        if base is not None and got.trace[:index + 1] != base.trace[:index + 1]:
            problems.append("the calls up to the failure differ from the undisturbed run's")
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
        if kind == "look":
            # Between the last look and the release of the interrupts.
            return uses[kind] == trace.count("look")
        return kind in ("reserve", "fsync", "close") or (kind == "writeback" and uses[kind] == 1)

    def interrupt(self, scenario, base, index, use):
        """A signal that arrives as call number index starts (a look: right
        after it); then the same with the signals ignored from the start."""
        kind = base.trace[index]
        number = INTERRUPTS[self.runs % len(INTERRUPTS)]
        label = "%s: %s during %s #%d" % (scenario.name, signal.Signals(number).name, kind, use)
        plan = "%s:%d:sig%d" % (kind, use, number)
        got = self.run(scenario.input, scenario.old_image, plan)
        problems = []
        if got.status != -number:
            problems.append("status %s, expected the signal %d" % (got.status, number))
        if kind in WRITING:
            expected = Outcome(base.stdout[:base.stdout.index(b"Fertig!")],
                               perror_line(CANNOT_WRITE, errno.EINTR), -number, "nothing", None)
            # Stopped at the next look, whatever the drive had to finish.
            after = [call for call in got.trace[index + 1:] if call not in ("writeback", "fsync")]
            if after != ["look"] + INTERRUPTED_CLEAN_UP:
                problems.append("calls after the interrupt: %s" % got.trace[index + 1:])
        else:
            # Before or after the writing, or too late for the last look,
            # nothing is cleaned up and nothing is lost: the program ends on
            # the spot.
            cut = base.stdout.index(b"Fertig!") if kind in ("look", "close") else len(START)
            left = base.left if kind in ("look", "close") else (
                "the old image" if scenario.old_image else "nothing")
            expected = Outcome(base.stdout[:cut], b"", -number, left, None)
            if got.trace[index + 1:]:
                problems.append("calls after the interrupt: %s" % got.trace[index + 1:])
        if problems:
            self.failures.append(label + "\n  " + "\n  ".join(problems))
        self.check(label, got, expected)
        got = self.run(scenario.input, scenario.old_image, plan, ignored=True)
        self.check(label + ", interrupts ignored from the start", got, base, [],
                   len(base.trace) - 1, base)

    def further(self, scenario, base, index, use):
        """The faults of FURTHER planned at call number index."""
        kind = base.trace[index]
        pages = base.trace.count("write") * drives.MB // 4096
        for fault in FURTHER:
            if fault.call != kind or not fault.uses(use, base.trace.count(kind)):
                continue
            number = INTERRUPTS[self.runs % len(INTERRUPTS)]
            values = dict(use=use, signal=number, name=signal.Signals(number).name, pages=pages,
                          fewer=pages - 1, many=MANY_MEGABYTES)
            label = "%s: %s #%d %s" % (scenario.name, kind, use, fault.what.format(**values))
            got = self.run(scenario.input, scenario.old_image, fault.plan.format(**values))
            if fault.outcome is SAME:
                self.check(label, got, base)
            else:
                expected, after = fault.outcome.expectation(base, number)
                self.check(label, got, expected, after, index, base)

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
            use = uses[kind]
            if self.interrupt_site(base.trace, index, uses):
                self.interrupt(scenario, base, index, use)
            self.further(scenario, base, index, use)
            if kind in NOT_FAILED:
                continue
            sites += 1
            error = ERRORS[kind]
            label = "%s: %s #%d fails with %s" % (scenario.name, kind, use,
                                                  errno.errorcode[error])
            got = self.run(scenario.input, scenario.old_image, "%s:%d:%d" % (kind, use, error))
            expected = self.expectation(scenario, base, index, use, error)
            self.check(label, got, expected, CLEAN_UP.get(kind), index,
                       base if kind in CLEAN_UP else None)
            if kind in NOT_SUPPORTED:
                got = self.run(scenario.input, scenario.old_image, "%s:%d:%d"
                               % (kind, use, NOT_SUPPORTED[kind]))
                self.check("%s: %s #%d cannot be done here" % (scenario.name, kind, use),
                           got, base)
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
