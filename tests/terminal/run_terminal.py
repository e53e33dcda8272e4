#!/usr/bin/env python3
"""The program in a real terminal, as a person sees it.

  run_terminal.py native  build/native/tolvera-image build/native/tolvera-image-faults
  run_terminal.py windows build/windows/tolvera-image.exe

native: the program runs in tmux; the answers are typed with send-keys and
each screen is read with capture-pane.  Every question must stand alone on
a cleared screen under the title block.

windows: the .exe runs under Wine in tmux, so that its standard output is a
console, which shows escape sequences as text, as the consoles of Windows
7 and 8 do: the same screens, cleared with the console's own calls.  With
standard output in a pipe the program writes the escape sequences.

On both, the pane's title shows the progress while the image is written,
and afterwards exactly the title the window had before: natively the
user's own, under Wine an empty one (Wine's console does not know the
terminal's title, so the program reads an empty one and gives that
back).  Natively also with the test build (tests/seams), when SIGINT
arrives as the image's close starts, after the program has let its
interrupts go.
"""

import itertools
import os
import re
import shutil
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "disk"))

import drives  # noqa: E402
from run_disk import FuseDrive  # noqa: E402

WIDTH, HEIGHT = 100, 40
TITLE = ["TOLVERA IMAGE-DATEI EINRICHTEN", "=" * 30, ""]


class Terminal:
    """A tmux server of our own, with one window running command."""

    # Each a server of its own: one that has just been told to end may
    # still answer on its socket, and a new session there then fails.
    servers = itertools.count()

    def __init__(self, command, env=None):
        self.socket = "tolvera-test-%d-%d" % (os.getpid(), next(self.servers))
        # Wine's console takes the terminal only when the program first
        # reads: typed before that, the line discipline echoes the keys
        # and hands the console a line feed, which is no Enter to it.
        self.console = command[:len(drives.WINE)] == drives.WINE
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
        if self.console:
            self.wait_for_console()
        if text:
            self.tmux("send-keys", "-t", "test", "-l", text)
        self.tmux("send-keys", "-t", "test", "Enter")

    def wait_for_console(self, seconds=30):
        """Waits until Wine's console reads the keys itself: the pane's
        terminal is no longer in canonical mode."""
        tty = self.tmux("display-message", "-p", "-t", "test", "#{pane_tty}").strip()
        deadline = time.time() + seconds
        while True:
            descriptor = os.open(tty, os.O_RDONLY | os.O_NOCTTY)
            try:
                canonical = termios.tcgetattr(descriptor)[3] & termios.ICANON
            finally:
                os.close(descriptor)
            if not canonical:
                self.console = False
                return
            if time.time() > deadline:
                raise AssertionError("Wine's console never took the terminal")
            time.sleep(0.05)

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

    def ended(self, seconds=30):
        """Waits until the program has ended, also where an interrupt ended
        the shell that started it (the pane is then kept, dead).  Gives
        the exit status, or None where the shell did not note it."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            with open(self.status_file.name) as f:
                status = f.read()
            if status.endswith("\n"):
                return int(status)
            if self.tmux("display-message", "-p", "-t", "test", "#{pane_dead}").strip() == "1":
                return None
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


_wine = {}


def wine_prefix():
    """The Wine prefix that all of the Windows tests here run in, drive D:
    the test drive, with a server that lives through them: made once."""
    if not _wine:
        _wine.update(drives.make_wine_prefix("D"))
        drives.start_wine_server(_wine)
    return _wine


def close_wine_prefix():
    if _wine:
        subprocess.run(["wineserver", "--kill"], env=_wine)
        shutil.rmtree(_wine["WINEPREFIX"], ignore_errors=True)


def wine_variables():
    return {name: value for name, value in wine_prefix().items() if name.startswith("WINE")}


def windows_screens(program):
    """The .exe with its output on Wine's console, which shows escape
    sequences as text: the screens are cleared with the console's calls."""
    screens([*drives.WINE, program], wine_variables(), seconds=120)


def windows_pipe(program):
    """With its output in a pipe, the .exe writes the escape sequences."""
    drives.prepare_drives()
    result = subprocess.run([*drives.WINE, program], input=b"d\n\n", capture_output=True,
                            env=wine_prefix(), timeout=120)
    if not result.stdout.startswith(b"\33[H\33[JTOLVERA IMAGE-DATEI EINRICHTEN\r\n"):
        raise AssertionError("output in a pipe starts %r" % result.stdout[:60])


# The user's own title, set before the program starts; natively it must
# be back after every end.
USER_TITLE = "Eingabeaufforderung"
# Under Wine the console does not know the terminal's title: the program
# reads an empty one, gives that back, and Wine shows it as it is.
WINE_TITLE = ""
PROGRESS = re.compile(r"TOLVERA\.IMG: (\d+) % \((\d+) von (\d+) MB\)"
                      r"(, noch etwa \d+ (Sek|Min)\.)?$")


def pane_title(terminal):
    return terminal.tmux("display-message", "-p", "-t", "test", "#{pane_title}").rstrip("\n")


def watch_titles(terminal, until, seconds=120):
    """The titles the window shows, in turn, until the screen's last line
    is until."""
    titles = []
    deadline = time.time() + seconds
    while time.time() < deadline:
        title = pane_title(terminal)
        if not titles or titles[-1] != title:
            titles.append(title)
        shown = [line for line in terminal.screen() if line]
        if shown and shown[-1] == until:
            return titles
        time.sleep(0.1)
    raise AssertionError("the screen never ended with %r; titles seen: %r" % (until, titles))


def title_given_back(title, given_back, when, titles):
    if title != given_back:
        raise AssertionError("%s the title is %r, not %r (titles seen: %r)"
                             % (when, title, given_back, titles))


def titles_while_writing(command, env, seconds, given_back):
    """400 MB to a slow drive (25 ms a megabyte, some 10 seconds): the
    window's title shows the percentage rising, the screen stays as it
    is, and once "Fertig!" is there the title is given_back, at the exit
    prompt and after the end."""
    drive = FuseDrive("slow_fs.py", "0.025")
    terminal = Terminal(command, env)
    try:
        terminal.tmux("select-pane", "-t", "test", "-T", USER_TITLE)
        expect_screen(terminal, TITLE + INTRODUCTION + [DRIVE_QUESTION], seconds)
        terminal.type("d")
        expect_screen(terminal, TITLE + SIZE_QUESTION)
        terminal.type("400")
        titles = watch_titles(terminal, FINISHED[-1])
        expect_screen(terminal, TITLE + FINISHED)
        after = pane_title(terminal)
        terminal.type("")
        status = terminal.exit_status()
        ended = pane_title(terminal)
    finally:
        terminal.close()
        drive.close()
    if status != 0:
        raise AssertionError("exit status %d, expected 0" % status)
    shown = [PROGRESS.match(title) for title in titles]
    percentages = [int(match.group(1)) for match in shown if match]
    if len(percentages) < 3 or percentages != sorted(set(percentages)):
        raise AssertionError("no rising percentages in the titles %r" % titles)
    if not any(match and match.group(4) for match in shown):
        raise AssertionError("no time left in the titles %r" % titles)
    title_given_back(after, given_back, "at the prompt after Fertig!", titles)
    title_given_back(ended, given_back, "after the end", titles)
    print("     titles seen: %r; after Fertig!: %r" % (titles, after))


def titles_at_an_end(command, env, seconds, given_back, fuse, size, ending, status=None):
    """The progress is shown, then the writing ends without "Fertig!": the
    title is given_back all the same, once the program has ended, and at
    the exit prompt where ending gives the title shown there.  Where
    status is given, the program must have ended with it.  Gives the
    title."""
    drive = FuseDrive(*fuse)
    terminal = Terminal(command, env)
    try:
        terminal.tmux("select-pane", "-t", "test", "-T", USER_TITLE)
        terminal.tmux("set-option", "-t", "test", "remain-on-exit", "on")
        expect_screen(terminal, TITLE + INTRODUCTION + [DRIVE_QUESTION], seconds)
        terminal.type("d")
        expect_screen(terminal, TITLE + SIZE_QUESTION)
        terminal.type(size)
        # The title seen, not one read after it: the writing may end
        # between the two.
        deadline = time.time() + 60
        titles = [pane_title(terminal)]
        while not PROGRESS.match(titles[0]) and time.time() < deadline:
            time.sleep(0.1)
            titles = [pane_title(terminal)]
        at_prompt = ending(terminal)
        ended_with = terminal.ended()
        after = pane_title(terminal)
    finally:
        terminal.close()
        drive.close()
    if not PROGRESS.match(titles[0]):
        raise AssertionError("no progress shown: %r" % titles[0])
    if status is not None and ended_with != status:
        raise AssertionError("exit status %r, expected %d" % (ended_with, status))
    if at_prompt is not None:
        title_given_back(at_prompt, given_back, "at the exit prompt", titles)
    title_given_back(after, given_back, "after the end", titles)
    return after


def after_a_failure(command, env, seconds, given_back):
    """A drive that goes bad at 50 MB, written at 40 MB a second so that
    the progress shows first: the reason, and the title back."""
    def failed(terminal):
        terminal.wait_for("Eingabetaste zum Beenden.")
        at_prompt = pane_title(terminal)
        terminal.type("")
        return at_prompt
    after = titles_at_an_end(command, env, seconds, given_back,
                             ("failing_fs.py", str(50 * drives.MB), "0.025"), "300", failed)
    print("     after the failure: %r" % after)


def after_ctrl_c(command, env, seconds, given_back):
    """Ctrl+C while 400 MB go to the slow drive: the title back."""
    def pressed(terminal):
        terminal.tmux("send-keys", "-t", "test", "C-c")
    after = titles_at_an_end(command, env, seconds, given_back, ("slow_fs.py", "0.025"), "400",
                             pressed)
    print("     after Ctrl+C: %r" % after)


def native_titles(program):
    for test in (titles_while_writing, after_a_failure, after_ctrl_c):
        test([program], None, 30, USER_TITLE)


def native_title_after_a_late_interrupt(faults_program):
    """The test build, 100 MB to the slow drive, and SIGINT as the image's
    close starts: after the flush, once the interrupts are let go, so that
    the signal ends the program (status 130) as it ends any.  The user's
    title must be back all the same."""
    def nothing(terminal):
        return None
    after = titles_at_an_end([faults_program], {"TOLVERA_FAULT": "close:1:sig2"}, 30, USER_TITLE,
                             ("slow_fs.py", "0.025"), "100", nothing, status=128 + 2)
    print("     after SIGINT at the close: %r" % after)


def title_changes_on_a_fast_drive(program, env):
    """1000 MB to a tmpfs: Wine's relay trace counts the titles set, which
    must be about one a second, not one a block."""
    drives.prepare_drives()
    trace = os.path.join(env["WINEPREFIX"], "relay.log")
    traced = dict(env, WINEDEBUG="-all,+relay")
    terminal = Terminal([*drives.WINE, program, "2>" + trace], env=traced)
    try:
        terminal.wait_for(DRIVE_QUESTION, seconds=120)
        terminal.type("d")
        terminal.wait_for(SIZE_QUESTION[-1])
        began = time.time()
        terminal.type("1000")
        terminal.wait_for(FINISHED[-1], seconds=300)
        took = time.time() - began
        terminal.type("")
        terminal.exit_status()
    finally:
        terminal.close()
    with open(trace, errors="replace") as f:
        calls = f.read().count("Call KERNEL32.SetConsoleTitleW(")
    os.unlink(trace)
    # The first, one a second, the finishing and the user's own.
    if calls < 3 or calls > took + 4:
        raise AssertionError("%d titles set in %.1f seconds of writing" % (calls, took))
    print("     1000 MB on a tmpfs: %d titles set in %.1f seconds" % (calls, took))


def windows_titles(program):
    for test in (titles_while_writing, after_a_failure, after_ctrl_c):
        test([*drives.WINE, program], wine_variables(), 120, WINE_TITLE)
    title_changes_on_a_fast_drive(program, wine_variables())


# The programs each mode is given, in order, and each test with the one it
# runs.
PROGRAMS = {
    "native": ["program", "faults"],
    "windows": ["program"],
}
TESTS = {
    "native": [(native_screens, "program"), (native_titles, "program"),
               (native_title_after_a_late_interrupt, "faults")],
    "windows": [(windows_screens, "program"), (windows_pipe, "program"),
                (windows_titles, "program")],
}


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else None
    if mode not in PROGRAMS or len(sys.argv) != 2 + len(PROGRAMS[mode]):
        sys.exit("usage: run_terminal.py native PROGRAM FAULTS_PROGRAM\n"
                 "       run_terminal.py windows PROGRAM")
    drives.enter_private_namespace()
    programs = dict(zip(PROGRAMS[mode], (os.path.abspath(path) for path in sys.argv[2:])))
    failed = 0
    try:
        for test, program in TESTS[mode]:
            try:
                test(programs[program])
                print("ok   %s" % test.__name__)
            except AssertionError as problem:
                failed += 1
                print("FAIL %s: %s" % (test.__name__, problem))
    finally:
        close_wine_prefix()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
