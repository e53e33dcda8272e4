#!/usr/bin/env python3
"""The program in a real terminal, as a person sees it.

  run_terminal.py native  build/native/tolvera-image
  run_terminal.py windows build/windows/tolvera-image.exe

native: the program runs in tmux; the answers are typed with send-keys and
each screen is read with capture-pane.  Every question must stand alone on
a cleared screen under the title block.

windows: the .exe runs under Wine in tmux, so that its standard output is a
console, which shows escape sequences as text, as the consoles of Windows
7 and 8 do: the same screens, cleared with the console's own calls.  With
standard output in a pipe the program writes the escape sequences.
"""

import os
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


def expect_screen(terminal, lines, seconds=30):
    """The screen comes to hold exactly these lines from the top, nothing
    below, within seconds."""
    expected = lines + [""] * (HEIGHT - len(lines))
    deadline = time.time() + seconds
    while True:
        screen = terminal.screen()
        if screen == expected:
            return
        if time.time() > deadline:
            raise AssertionError("the screen shows\n%s\nbut should show\n%s"
                                 % ("\n".join(screen).rstrip(), "\n".join(lines)))
        time.sleep(0.05)


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


def screens(command, env=None, seconds=30):
    """A whole run with a wrong answer at each question, screen by screen."""
    drives.prepare_drives()
    drives.write_old_image(drives.image_path("D"), 100 * drives.MB)
    terminal = Terminal(command, env)
    try:
        expect_screen(terminal, TITLE + INTRODUCTION + [DRIVE_QUESTION], seconds)
        terminal.type("1")
        expect_screen(terminal, TITLE + [DRIVE_QUESTION])
        terminal.type("d")
        expect_screen(terminal, TITLE + REPLACE_QUESTION)
        terminal.type("j")
        expect_screen(terminal, TITLE + SIZE_QUESTION)
        terminal.type("99")
        expect_screen(terminal, TITLE + SIZE_QUESTION)
        terminal.type("100")
        expect_screen(terminal, TITLE + FINISHED)
        terminal.type("")
        status = terminal.exit_status()
        if status != 0:
            raise AssertionError("exit status %d, expected 0" % status)
        problem = drives.zero_image_problem(drives.image_path("D"), 100)
        if problem:
            raise AssertionError(problem)
    finally:
        terminal.close()


def native_screens(program):
    screens([program])


def windows_screens(program):
    """The .exe with its output on Wine's console, which shows escape
    sequences as text: the screens are cleared with the console's calls."""
    env = drives.make_wine_prefix("D")
    try:
        wine_variables = {name: value for name, value in env.items() if name.startswith("WINE")}
        screens(["wine", program], wine_variables, seconds=120)
    finally:
        subprocess.run(["wineserver", "--kill"], env=env)
        shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)


def windows_pipe(program):
    """With its output in a pipe, the .exe writes the escape sequences."""
    drives.prepare_drives()
    env = drives.make_wine_prefix("D")
    try:
        result = subprocess.run(["wine", program], input=b"d\n\n", capture_output=True,
                                env=env, timeout=120)
    finally:
        subprocess.run(["wineserver", "--kill"], env=env)
        shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)
    if not result.stdout.startswith(b"\33[H\33[JTOLVERA IMAGE-DATEI EINRICHTEN\r\n"):
        raise AssertionError("output in a pipe starts %r" % result.stdout[:60])


TESTS = {
    "native": [native_screens],
    "windows": [windows_screens, windows_pipe],
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
