"""The program's screens, byte for byte, as the user is to see them."""

import errno

TITLE = (b"\33[H\33[J"
         b"TOLVERA IMAGE-DATEI EINRICHTEN\n\r"
         b"==============================\n\r"
         b"\n\r")

INTRO_TAIL = (b"\n\r\n\r"
              b"Dieses Programm richtet eine Image-Datei bzw. ein virtuelles Laufwerk\n\r"
              b"fuer TOLVERA 3.8 oder hoeher auf Ihrer Festplatte ein.\n\r"
              b"\n\r"
              b"Mit Hilfe dieser Image-Datei koennen Sie persoenliche Einstellungen\n\r"
              b"und Daten unter TOLVERA abspeichern.\n\r"
              b"\n\r")
# The one-line notice of the publisher that opens the introduction.
NOTICE = b"Ein Programm des TOLVERA-Projekts."

DRIVE_QUESTION = b"Bitte Laufwerkbuchstaben eingeben (C fuer erste Partition): "

PROMPT = b"\n\rEingabetaste zum Beenden."

DONE = (b"Fertig!\n\r"
        b"\n\r"
        b"Sie koennen nun Ihr persistentes TOLVERA Heimverzeichnis von TOLVERA\n\r"
        b"aus einrichten.\n\r")


def first_screen():
    """The title, the introduction and the drive question."""
    return TITLE + NOTICE + INTRO_TAIL + DRIVE_QUESTION


def drive_again():
    return TITLE + DRIVE_QUESTION


def replace_screen(letter, megabytes):
    return (TITLE +
            b"\n\rDie Datei %c:\\TOLVERA.IMG existiert bereits (Groesse=%dMB).\n\r"
            b"Loeschen und neu anlegen? (Alle Daten im Image werden geloescht.) [j/N] "
            % (ord(letter), megabytes))


def size_screen(letter):
    return (TITLE +
            b"BITTE STELLEN SIE SICHER, DASS AUCH NACH DEM EINRICHTEN DES TOLVERA-\n\r"
            b"IMAGE NOCH GENUEGEND FREIER PLATZ AUF LAUFWERK %c: VORHANDEN IST,\n\r"
            b"DAMIT IHR INSTALLIERTES BETRIEBSSYSTEM IN SEINER FUNKTION NICHT\n\r"
            b"BEEINTRAECHTIGT WIRD!\n\r"
            b"\n\r"
            b"Bitte gewuenschte Groesse des TOLVERA-Image in MB angeben\n\r"
            b"(mindestens 100!): " % ord(letter))


def creating(letter):
    """The cleared screen and the line under which the image is written."""
    return TITLE + b"\n\rLege %c:\\TOLVERA.IMG an... " % ord(letter)


def made(letter):
    return creating(letter) + DONE + PROMPT


# The reasons that follow an error text, "<text>: <reason>", by error name.
REASONS = {
    "ENOENT": "Datei oder Verzeichnis nicht gefunden",
    "EACCES": "Zugriff verweigert",
    "EPERM": "Vorgang nicht erlaubt",
    "EROFS": "Laufwerk ist schreibgeschuetzt",
    "ENOSPC": "Nicht genug freier Platz auf dem Laufwerk",
    "EDQUOT": "Speicherkontingent auf dem Laufwerk ueberschritten",
    "EFBIG": "Datei zu gross fuer das Dateisystem des Laufwerks",
    "EIO": "Ein-/Ausgabefehler",
    "ENOMEM": "Nicht genug Hauptspeicher",
    "EINTR": "Unterbrochen",
    "EBUSY": "Datei oder Geraet wird gerade benutzt",
    "EEXIST": "Datei existiert bereits",
    "EISDIR": "Ist ein Verzeichnis",
    "ENOTDIR": "Ist kein Verzeichnis",
    "ENOTEMPTY": "Verzeichnis ist nicht leer",
    "ELOOP": "Ist eine Verknuepfung, der nicht gefolgt wird",
    # The program's own number, beyond the system's.
    1000: "Ist keine gewoehnliche Datei (ein Geraet oder eine Pipe)",
    "ENAMETOOLONG": "Dateiname zu lang",
    "EMFILE": "Zu viele offene Dateien",
    "EINVAL": "Ungueltiges Argument",
    "ENXIO": "Laufwerk nicht bereit",
    "ENODEV": "Laufwerk nicht mehr vorhanden (entfernt?)",
    "ENOTCONN": "Verbindung zum Laufwerk getrennt",
    "ECONNABORTED": "Verbindung zum Laufwerk getrennt",
    "EBADF": "Ungueltiger Dateideskriptor",
}


def image_left(letter):
    """The line on standard error after the reason, when the incomplete
    image could not be deleted."""
    return (b"Die unvollstaendige Image-Datei %c:\\TOLVERA.IMG konnte nicht geloescht "
            b"werden; bitte loeschen Sie sie selbst.\n" % ord(letter))


def error_line(text, error):
    """The line on standard error for a failure: error is an error name
    ("ENOSPC"), an error number of this machine, or the program's own."""
    if isinstance(error, int) and error not in REASONS:
        name = errno.errorcode.get(error)
        reason = REASONS.get(name, "Unbekannter Fehler %d" % error)
    else:
        reason = REASONS[error]
    return ("%s: %s\n" % (text, reason)).encode()


def room_not_held(letter, held, megabytes):
    """The lines on standard error after the flush, when the complete image
    holds only held of its megabytes on the drive."""
    return (b"Die Image-Datei %c:\\TOLVERA.IMG ist vollstaendig, belegt auf dem Laufwerk aber "
            b"nur %d von %d MB, weil das Laufwerk sie komprimiert.\n"
            b"Der Platz fuer Ihre Daten darin ist damit nicht gesichert: Das Laufwerk kann voll "
            b"werden, waehrend TOLVERA in die Image-Datei schreibt.\n"
            b"Schalten Sie die Komprimierung fuer das Hauptverzeichnis von %c: aus (Eigenschaften "
            b"des Laufwerks: \"Laufwerk komprimieren, um Speicherplatz zu sparen\") und legen Sie "
            b"die Image-Datei neu an.\n" % (ord(letter), held, megabytes, ord(letter)))


def image_encrypted(letter):
    """The lines on standard error when the new image comes out encrypted."""
    return (b"Kann Image-Datei nicht anlegen: Windows wuerde sie verschluesseln (EFS), und eine "
            b"verschluesselte Image-Datei kann TOLVERA nicht lesen\n"
            b"Schalten Sie die Verschluesselung fuer das Hauptverzeichnis von %c: aus "
            b"(Eingabeaufforderung: cipher /d %c:\\) und starten Sie das Programm neu.\n"
            % (ord(letter), ord(letter)))
