#include "dialogue/questions.h"

#include "dialogue/answers.h"
#include "dialogue/console.h"
#include "platform/platform.h"

namespace {

const int least_image_size = 100;

// Ends the run when the input has ended; a question cannot go on without it.
const char* read_answer_or_end() {
    const char* line = read_answer();
    if (line == nullptr)
        end_with_prompt(-1);
    return line;
}

} // namespace

char ask_drive_letter() {
    show_title();
    platform::print("Ein Programm des TOLVERA-Projekts.\n\r"
                    "\n\r"
                    "Dieses Programm richtet eine Image-Datei bzw. ein virtuelles Laufwerk\n\r"
                    "fuer TOLVERA 3.8 oder hoeher auf Ihrer Festplatte ein.\n\r"
                    "\n\r"
                    "Mit Hilfe dieser Image-Datei koennen Sie persoenliche Einstellungen\n\r"
                    "und Daten unter TOLVERA abspeichern.\n\r"
                    "\n\r");
    for (;;) {
        platform::print("Bitte Laufwerkbuchstaben eingeben (C fuer erste Partition): ");
        platform::flush_output();
        char letter;
        if (scan_letter(read_answer_or_end(), &letter) && letter >= 'A' && letter <= 'Z')
            return letter;
        show_title();
    }
}

old_image check_existing_image(const char* path, platform::file_identity* shown) {
    long long bytes = 0;
    switch (platform::look_at_path(path, &bytes, shown)) {
    case platform::look::nothing_there:
        return old_image::nothing_there;
    case platform::look::failed:
        // An image may be there: it is neither asked about nor touched.
        platform::report_failure("Kann nicht pruefen, ob schon eine Image-Datei da ist",
                                 platform::error_number());
        end_with_prompt(-1);
    case platform::look::found:
        break;
    }

    show_title();
    platform::print("\n\rDie Datei %s existiert bereits (Groesse=%lldMB).\n\r"
                    "Loeschen und neu anlegen? (Alle Daten im Image werden geloescht.) [j/N] ",
                    path, bytes / platform::bytes_per_megabyte);
    platform::flush_output();

    char answer;
    if (scan_letter(read_answer_or_end(), &answer) && (answer == 'J' || answer == 'Y'))
        return old_image::replace_agreed;
    return old_image::keep;
}

int ask_image_size(char letter) {
    for (;;) {
        show_title();
        platform::print("BITTE STELLEN SIE SICHER, DASS AUCH NACH DEM EINRICHTEN DES TOLVERA-\n\r"
                        "IMAGE NOCH GENUEGEND FREIER PLATZ AUF LAUFWERK %c: VORHANDEN IST,\n\r"
                        "DAMIT IHR INSTALLIERTES BETRIEBSSYSTEM IN SEINER FUNKTION NICHT\n\r"
                        "BEEINTRAECHTIGT WIRD!\n\r"
                        "\n\r"
                        "Bitte gewuenschte Groesse des TOLVERA-Image in MB angeben\n\r"
                        "(mindestens 100!): ",
                        letter);
        platform::flush_output();

        int size = 0;
        switch (scan_number(read_answer_or_end(), &size)) {
        case number_answer::not_a_number:
            end_with_prompt(0);
        case number_answer::number:
            if (size >= least_image_size)
                return size;
            break;
        case number_answer::blank:
        case number_answer::out_of_range:
            break;
        }
    }
}
