#!/usr/bin/env python3
"""Runs the real program on the table of cases in cases.py.

  run_cases.py native  build/native/tolvera-image
  run_cases.py faults  build/native/tests/tolvera-image-faults
  run_cases.py windows build/windows/tolvera-image.exe      (under Wine)
  run_cases.py valgrind build/native/tolvera-image         (under memcheck)

Under valgrind the native cases run; any report of valgrind, a leak or a
block still reachable at the end among them, fails the case.  A program
built with sanitizers runs as native: their reports fail it likewise.

Each case types its lines into the program's standard input and checks the
exact bytes of standard output and standard error, the exit status and what
is left on the drives.  Needs root: the drives are mounts of a private
mount namespace (see drives.py).
"""

import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import drives  # noqa: E402
from cases import CASES  # noqa: E402
from texts import error_line  # noqa: E402

class Native:
    name = "native"
    cases = "native"
    text_mode = False

    def __init__(self, program):
        self.command = [os.path.abspath(program)]

    def environment(self, case):
        return dict(os.environ, **case.env)

    def add_drive(self, letter):
        """Drive letter: is /mnt/letter, once it exists."""

    def forget_drives(self):
        pass

    def close(self):
        pass


class Faults(Native):
    name = "faults"
    cases = "faults"


class Valgrind(Native):
    name = "valgrind"

    def __init__(self, program):
        self.command = ["valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
                        "--show-leak-kinds=all", "--errors-for-leak-kinds=all",
                        os.path.abspath(program)]


class Windows:
    """The .exe under Wine, in a prefix of its own whose drives D:, E:, F:
    and R: are the test drives."""
    name = "windows"
    cases = "windows"
    text_mode = True

    def __init__(self, program):
        self.env = drives.make_wine_prefix("DEFR")
        # One server for all cases instead of one start per case.
        drives.start_wine_server(self.env)
        self.command = [*drives.WINE, os.path.abspath(program)]
        self.added = []

    def environment(self, case):
        return self.env

    def add_drive(self, letter):
        """The drive is plugged in: Wine learns its letter."""
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", letter.lower() + ":")
        os.symlink(drives.drive(letter), link)
        self.added.append(link)

    def forget_drives(self):
        for link in self.added:
            os.unlink(link)
        self.added = []

    def close(self):
        subprocess.run(["wineserver", "--kill"], env=self.env)
        shutil.rmtree(self.env["WINEPREFIX"], ignore_errors=True)


BUILDS = {"native": Native, "faults": Faults, "windows": Windows, "valgrind": Valgrind}


def expected_stream(build, parts):
    """The expected bytes: a case lists texts and (message, error) pairs,
    which become perror lines with the platform's text for the error."""
    out = b""
    for part in parts:
        if isinstance(part, tuple):
            message, error = part
            if isinstance(error, dict):
                error = error[build.cases]
            part = error_line(message, error)
        out += part
    if build.text_mode:
        out = out.replace(b"\n", b"\r\n")
    return out


def show(data):
    text = repr(data)
    return text if len(text) < 400 else text[:200] + " ... " + text[-200:]


class Result:
    def __init__(self, stdout, stderr, returncode):
        self.stdout = stdout
        self.stderr = stderr
        self.returncode = returncode


def run_meanwhile(build, case):
    """Types the case's first lines, waits until the program asks for the
    size, changes the drives, then types the rest."""
    change, rest = case.meanwhile
    question = expected_stream(build, [b"(mindestens 100!): "])
    process = subprocess.Popen(
        build.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=build.environment(case), preexec_fn=lambda: os.umask(case.umask))
    streams = {"stdout": b"", "stderr": b""}

    def collect(name, pipe):
        for chunk in iter(lambda: os.read(pipe.fileno(), 65536), b""):
            streams[name] += chunk

    readers = [threading.Thread(target=collect, args=(name, getattr(process, name)))
               for name in streams]
    for reader in readers:
        reader.start()
    try:
        process.stdin.write(case.input)
        process.stdin.flush()
        deadline = time.monotonic() + 60
        while not streams["stdout"].endswith(question):
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the size question never came: %s" % show(streams["stdout"]))
            time.sleep(0.05)
        change(build)
        process.stdin.write(rest)
        process.stdin.close()
        process.wait(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        for reader in readers:
            reader.join()
        build.forget_drives()
    return Result(streams["stdout"], streams["stderr"], process.returncode)


def run_case(build, case):
    drives.prepare_drives()
    if case.setup:
        case.setup()
    old_umask = case.umask
    if case.meanwhile:
        result = run_meanwhile(build, case)
    elif case.closed_stderr:
        reader, writer = os.pipe()
        os.close(reader)
        try:
            done = subprocess.run(
                build.command, input=case.input, stdout=subprocess.PIPE, stderr=writer,
                timeout=120, env=build.environment(case), preexec_fn=lambda: os.umask(old_umask))
        finally:
            os.close(writer)
        result = Result(done.stdout, b"", done.returncode)
    else:
        result = subprocess.run(
            build.command, input=case.input, capture_output=True, timeout=120,
            env=build.environment(case), preexec_fn=lambda: os.umask(old_umask))

    problems = []
    stdout = expected_stream(build, case.stdout)
    if result.stdout != stdout:
        problems.append("standard output\n  got      %s\n  expected %s"
                        % (show(result.stdout), show(stdout)))
    stderr = expected_stream(build, case.stderr)
    if result.stderr != stderr:
        problems.append("standard error\n  got      %s\n  expected %s"
                        % (show(result.stderr), show(stderr)))
    if result.returncode != case.status & 0xFF:
        problems.append("exit status %d, expected %d" % (result.returncode, case.status & 0xFF))
    for check in case.checks:
        problem = check(build.cases)
        if problem:
            problems.append(problem)
    return problems


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in BUILDS:
        sys.exit("usage: run_cases.py native|faults|windows|valgrind PROGRAM")
    drives.enter_private_namespace()
    build = BUILDS[sys.argv[1]](sys.argv[2])
    failed = 0
    ran = 0
    try:
        for case in CASES:
            if build.cases not in case.builds:
                continue
            ran += 1
            problems = run_case(build, case)
            if problems:
                failed += 1
                print("FAIL %s: %s" % (case.name, "\n  ".join(problems)))
            else:
                print("ok   %s" % case.name)
    finally:
        build.close()
    print("%s: %d of %d cases passed" % (build.name, ran - failed, ran))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
