// Linked into the Windows coverage builds: the system's own control
// handler ends the process with ExitProcess, which does not write the
// counts of the lines and branches run.  Registered before main() runs,
// before any handler of the program, this one writes them just before the
// system's handler runs.
#include <windows.h>

extern "C" void __gcov_dump(void);

namespace {

BOOL WINAPI write_counts(DWORD event) {
    static_cast<void>(event);
    __gcov_dump();
    return FALSE;
}

struct coverage_installer {
    coverage_installer() { static_cast<void>(SetConsoleCtrlHandler(write_counts, TRUE)); }
};
coverage_installer installed;

} // namespace
