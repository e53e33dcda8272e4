// The console's text streams, the error lines and the end of the process,
// the same on both platforms: the C runtime's, through the table in
// runtime_calls.h.
#include "platform/platform.h"
#include "platform/reasons.h"
#include "platform/runtime_calls.h"

#include <cerrno>

namespace platform {

#define TOLVERA_CALL_ENTRY(name) ::name,
runtime_calls runtime = {TOLVERA_RUNTIME_CALLS(TOLVERA_CALL_ENTRY)};
#undef TOLVERA_CALL_ENTRY

void print(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    static_cast<void>(runtime.vprintf(format, arguments));
    va_end(arguments);
}

void flush_output() { static_cast<void>(runtime.fflush(stdout)); }

char* read_line(char* buffer, int size) { return runtime.fgets(buffer, size, stdin); }

namespace {

void print_error(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    static_cast<void>(runtime.vfprintf(stderr, format, arguments));
    va_end(arguments);
}

} // namespace

void report_failure(const char* text, int error) {
    const char* reason = reason_for(error);
    if (reason != nullptr)
        print_error("%s: %s\n", text, reason);
    else
        print_error("%s: Unbekannter Fehler %d\n", text, error);
}

void report_image_left(const char* path) {
    print_error("Die unvollstaendige Image-Datei %s konnte nicht geloescht werden; bitte loeschen "
                "Sie sie selbst.\n",
                path);
}

// The image is usable; only its room is not held, which is what the
// user can change.  A megabyte is bytes_per_megabyte here as everywhere
// the program names sizes.
void report_room_not_held(const char* path, long long held, long long bytes) {
    print_error("Die Image-Datei %s ist vollstaendig, belegt auf dem Laufwerk aber nur %lld "
                "von %lld MB, weil das Laufwerk sie komprimiert.\n"
                "Der Platz fuer Ihre Daten darin ist damit nicht gesichert: Das Laufwerk kann "
                "voll werden, waehrend TOLVERA in die Image-Datei schreibt.\n"
                "Schalten Sie die Komprimierung fuer das Hauptverzeichnis von %c: aus "
                "(Eigenschaften des Laufwerks: \"Laufwerk komprimieren, um Speicherplatz zu "
                "sparen\") und legen Sie die Image-Datei neu an.\n",
                path, held / bytes_per_megabyte, bytes / bytes_per_megabyte, path[0]);
}

void report_image_encrypted(const char* path) {
    print_error("Kann Image-Datei nicht anlegen: Windows wuerde sie verschluesseln (EFS), und "
                "eine verschluesselte Image-Datei kann TOLVERA nicht lesen\n"
                "Schalten Sie die Verschluesselung fuer das Hauptverzeichnis von %c: aus "
                "(Eingabeaufforderung: cipher /d %c:\\) und starten Sie das Programm neu.\n",
                path[0], path[0]);
}

// exit never returns, which the table's type does not say.
void exit_process(int status) {
    for (;;)
        runtime.exit(status);
}

int error_number() { return errno; }

} // namespace platform
