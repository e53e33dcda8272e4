#include "platform/reasons.h"

#include <cerrno>

namespace platform {
namespace {

struct reason {
    int error;
    const char* text;
};

// The errors that making an image can meet, in 7-bit ASCII like every
// other text of the program.
const reason reasons[] = {
    {ENOENT, "Datei oder Verzeichnis nicht gefunden"},
    {EACCES, "Zugriff verweigert"},
    {EPERM, "Vorgang nicht erlaubt"},
    {EROFS, "Laufwerk ist schreibgeschuetzt"},
    {ENOSPC, "Nicht genug freier Platz auf dem Laufwerk"},
#ifdef EDQUOT
    {EDQUOT, "Speicherkontingent auf dem Laufwerk ueberschritten"},
#endif
    {EFBIG, "Datei zu gross fuer das Dateisystem des Laufwerks"},
    {EIO, "Ein-/Ausgabefehler"},
    {ENOMEM, "Nicht genug Hauptspeicher"},
    {EINTR, "Unterbrochen"},
    {EBUSY, "Datei oder Geraet wird gerade benutzt"},
    {EEXIST, "Datei existiert bereits"},
    {EISDIR, "Ist ein Verzeichnis"},
    {ENOTDIR, "Ist kein Verzeichnis"},
    {ENOTEMPTY, "Verzeichnis ist nicht leer"},
    {ELOOP, "Ist eine Verknuepfung, der nicht gefolgt wird"},
    {not_a_plain_file, "Ist keine gewoehnliche Datei (ein Geraet oder eine Pipe)"},
    {ENAMETOOLONG, "Dateiname zu lang"},
    {EMFILE, "Zu viele offene Dateien"},
    {EINVAL, "Ungueltiges Argument"},
    {ENXIO, "Laufwerk nicht bereit"},
    // A drive that went away while the image was written: a USB stick
    // pulled out, a network or FUSE drive whose other end is gone.
    {ENODEV, "Laufwerk nicht mehr vorhanden (entfernt?)"},
    // A FUSE drive whose process ended: ENOTCONN, or ECONNABORTED for a
    // request it had already taken.
    {ENOTCONN, "Verbindung zum Laufwerk getrennt"},
    {ECONNABORTED, "Verbindung zum Laufwerk getrennt"},
    {EBADF, "Ungueltiger Dateideskriptor"},
};

} // namespace

const char* reason_for(int error) {
    for (const reason& r : reasons)
        if (r.error == error)
            return r.text;
    return nullptr;
}

bool means_nothing_there(int error) {
    return error == ENOENT || error == ENOTDIR || error == ENXIO;
}

} // namespace platform
