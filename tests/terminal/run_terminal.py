#!/usr/bin/env python3
"""The program in a real terminal, as a person sees it.

  run_terminal.py native  build/native/tolvera-image
  run_terminal.py windows build/windows/tolvera-image.exe

native: the program runs in tmux; the answers are typed with send-keys and
each screen is read with capture-pane.  Every question must stand alone on
a cleared screen under the title block.

windows: the .exe runs under Wine in tmux, so that its standard output is a
console.  Wine's console does not draw escape sequences itself, so the test
checks what the program asks of the console: the mode of its output handle
with virtual-terminal processing switched on at start and the old mode
restored at the end (read from Wine's trace of the calls).  With standard
output in a pipe the program must leave the console mode alone.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import drives  # noqa: E402

WIDTH, HEIGHT = 100, 40
TITLE = ["TOLVERA IMAGE-DATEI EINRICHTEN", "=" * 30, ""]


class Terminal:
    """A tmux server of our own, with one window running command."""

    def __init__(self, command, env=None):
        self.socket = "tolvera-test-%d" % os.getpid()
        # The shell notes the exit status; tmux may close a pane before it
        # has reaped the program.
        self.status_file = tempfile.NamedTemporaryFile(prefix="tolvera-status-")
        shell_line = "%s; echo $? > %s; sleep 600" % (" ".join(command), self.status_file.name)
        self.tmux("new-session", "-d", "-x", str(WIDTH), "-y", str(HEIGHT),
                  "-s", "test", *self.environment(env), shell_line)

    @staticmethod
    def environment(env):
        return [item for name, value in (env or {}).items() for item in ("-e", name + "=" + value)]

    def tmux(self, *arguments):
        return subprocess.run(["tmux", "-L", self.socket, *arguments], check=True,
                              capture_output=True, text=True).stdout

    def type(self, text):
        if text:
            self.tmux("send-keys", "-t", "test", "-l", text)
        self.tmux("send-keys", "-t", "test", "Enter")

    def screen(self):
        lines = self.tmux("capture-pane", "-p", "-t", "test").split("\n")[:HEIGHT]
        return [line.rstrip() for line in lines]

    def wait_for(self, last_text, seconds=30):
        """The screen once its last non-empty line is last_text."""
        deadline = time.time() + seconds
        while True:
            screen = self.screen()
            shown = [line for line in screen if line]
            if shown and shown[-1] == last_text:
                return screen
            if time.time() > deadline:
                raise AssertionError("waited for %r, the screen shows:\n%s"
                                     % (last_text, "\n".join(screen)))
            time.sleep(0.05)

    def exit_status(self, seconds=30):
        deadline = time.time() + seconds
        while time.time() < deadline:
            with open(self.status_file.name) as f:
                status = f.read()
            if status.endswith("\n"):
                return int(status)
            time.sleep(0.05)
        raise AssertionError("the program did not end")

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
        self.status_file.close()


def expect_screen(screen, lines):
    """The screen holds exactly these lines from the top, nothing below."""
    expected = lines + [""] * (HEIGHT - len(lines))
    if screen != expected:
        raise AssertionError("the screen shows\n%s\nbut should show\n%s"
                             % ("\n".join(screen).rstrip(), "\n".join(lines)))


DRIVE_QUESTION = "Bitte Laufwerkbuchstaben eingeben (C fuer erste Partition):"
INTRODUCTION = [
    "Ein Programm des TOLVERA-Projekts.",
    "",
    "Dieses Programm richtet eine Image-Datei bzw. ein virtuelles Laufwerk",
    "fuer TOLVERA 3.8 oder hoeher auf Ihrer Festplatte ein.",
    "",
    "Mit Hilfe dieser Image-Datei koennen Sie persoenliche Einstellungen",
    "und Daten unter TOLVERA abspeichern.",
    "",
]
SIZE_QUESTION = [
    "BITTE STELLEN SIE SICHER, DASS AUCH NACH DEM EINRICHTEN DES TOLVERA-",
    "IMAGE NOCH GENUEGEND FREIER PLATZ AUF LAUFWERK D: VORHANDEN IST,",
    "DAMIT IHR INSTALLIERTES BETRIEBSSYSTEM IN SEINER FUNKTION NICHT",
    "BEEINTRAECHTIGT WIRD!",
    "",
    "Bitte gewuenschte Groesse des TOLVERA-Image in MB angeben",
    "(mindestens 100!):",
]
REPLACE_QUESTION = [
    "",
    "Die Datei D:\\TOLVERA.IMG existiert bereits (Groesse=100MB).",
    "Loeschen und neu anlegen? (Alle Daten im Image werden geloescht.) [j/N]",
]
FINISHED = [
    "",
    "Lege D:\\TOLVERA.IMG an... Fertig!",
    "",
    "Sie koennen nun Ihr persistentes TOLVERA Heimverzeichnis von TOLVERA",
    "aus einrichten.",
    "",
    "Eingabetaste zum Beenden.",
]


def native_screens(program):
    """A whole run with a wrong answer at each question, screen by screen."""
    drives.prepare_drives()
    drives.write_old_image(drives.image_path("D"), 100 * drives.MB)
    terminal = Terminal([program])
    try:
        expect_screen(terminal.wait_for(DRIVE_QUESTION), TITLE + INTRODUCTION + [DRIVE_QUESTION])
        terminal.type("1")
        expect_screen(terminal.wait_for(DRIVE_QUESTION), TITLE + [DRIVE_QUESTION])
        terminal.type("d")
        expect_screen(terminal.wait_for(REPLACE_QUESTION[-1]), TITLE + REPLACE_QUESTION)
        terminal.type("j")
        expect_screen(terminal.wait_for(SIZE_QUESTION[-1]), TITLE + SIZE_QUESTION)
        terminal.type("99")
        expect_screen(terminal.wait_for(SIZE_QUESTION[-1]), TITLE + SIZE_QUESTION)
        terminal.type("100")
        expect_screen(terminal.wait_for(FINISHED[-1]), TITLE + FINISHED)
        terminal.type("")
        status = terminal.exit_status()
        if status != 0:
            raise AssertionError("exit status %d, expected 0" % status)
        problem = drives.zero_image_problem(drives.image_path("D"), 100)
        if problem:
            raise AssertionError(problem)
    finally:
        terminal.close()


def console_modes(trace):
    """(handle, mode) of every SetConsoleMode call in a Wine relay trace."""
    calls = re.findall(r"Call KERNEL32\.SetConsoleMode\(([0-9a-f]+),([0-9a-f]+)\)", trace)
    return [(int(handle, 16), int(mode, 16)) for handle, mode in calls]


def windows_console_mode(program):
    drives.prepare_drives()
    env = drives.make_wine_prefix("D")
    try:
        check_console_mode(program, env)
    finally:
        subprocess.run(["wineserver", "--kill"], env=env)
        shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)


def check_console_mode(program, env):
    trace = os.path.join(env["WINEPREFIX"], "relay.log")
    traced = dict(env, WINEDEBUG="-all,+relay")

    # Standard output a console: the escape sequences are switched on.
    wine_variables = {name: value for name, value in traced.items() if name.startswith("WINE")}
    terminal = Terminal(["wine", program, "2>" + trace], env=wine_variables)
    try:
        terminal.wait_for(DRIVE_QUESTION, seconds=120)
        terminal.type("d")
        terminal.wait_for(SIZE_QUESTION[-1])
        terminal.type("100")
        terminal.wait_for(FINISHED[-1])
        terminal.type("")
        status = terminal.exit_status()
    finally:
        terminal.close()
    with open(trace, errors="replace") as f:
        modes = console_modes(f.read())
    if status != 0:
        raise AssertionError("exit status %d, expected 0" % status)
    if len(modes) != 2 or modes[0][0] != modes[1][0]:
        raise AssertionError("expected one mode change and its undoing, got %r" % modes)
    (handle, switched_on), (_, restored) = modes
    if switched_on & 0x4 == 0 or restored != switched_on & ~0x4:
        raise AssertionError("console modes %r: virtual-terminal processing (4) not "
                             "switched on, or the old mode not restored" % modes)
    problem = drives.zero_image_problem(drives.image_path("D"), 100)
    if problem:
        raise AssertionError(problem)

    # Standard output a pipe: the console mode is left alone.
    result = subprocess.run(["wine", program], input=b"d\nn\n", capture_output=True, env=traced)
    modes = console_modes(result.stderr.decode(errors="replace"))
    if modes:
        raise AssertionError("with output in a pipe the console mode was changed: %r" % modes)


TESTS = {
    "native": [native_screens],
    "windows": [windows_console_mode],
}


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in TESTS:
        sys.exit("usage: run_terminal.py native|windows PROGRAM")
    drives.enter_private_namespace()
    program = os.path.abspath(sys.argv[2])
    failed = 0
    for test in TESTS[sys.argv[1]]:
        try:
            test(program)
            print("ok   %s" % test.__name__)
        except AssertionError as problem:
            failed += 1
            print("FAIL %s: %s" % (test.__name__, problem))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
