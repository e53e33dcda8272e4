// The stand-ins for the C runtime's table (platform/runtime_calls.h), the
// same in both test builds.  A planned number fails the call with that
// error number: vprintf, vfprintf and fflush first do their work (the text
// is written) and then report the failure, fgets reads nothing.  exit
// cannot fail; it is traced.
#include "fault_plan.h"

#include "platform/runtime_calls.h"

#include <cerrno>
#include <cstdlib>

namespace {

platform::runtime_calls real;

// Whether this use of the call is to fail; errno is set for it then.
bool fails(const char* call) {
    const char* how = seam::consult_runtime(call);
    if (!seam::is_number(how))
        return false;
    errno = std::atoi(how);
    return true;
}

int seam_vprintf(const char* format, va_list arguments) noexcept {
    bool failing = fails("vprintf");
    int saved = errno;
    int result = real.vprintf(format, arguments);
    if (failing)
        errno = saved;
    return failing ? -1 : result;
}

int seam_vfprintf(FILE* stream, const char* format, va_list arguments) noexcept {
    bool failing = fails("vfprintf");
    int saved = errno;
    int result = real.vfprintf(stream, format, arguments);
    if (failing)
        errno = saved;
    return failing ? -1 : result;
}

int seam_fflush(FILE* stream) noexcept {
    bool failing = fails("fflush");
    int saved = errno;
    int result = real.fflush(stream);
    if (failing)
        errno = saved;
    return failing ? EOF : result;
}

char* seam_fgets(char* buffer, int size, FILE* stream) noexcept {
    return fails("fgets") ? nullptr : real.fgets(buffer, size, stream);
}

// The table's type says that it does not return, where the compiler
// counts that as part of it.
__attribute__((noreturn)) void seam_exit(int status) noexcept {
    static_cast<void>(seam::consult_runtime("exit"));
    real.exit(status);
    __builtin_unreachable();
}

struct seam_installer {
    seam_installer() {
        static const char* const names[] = {
#define TOLVERA_CALL_NAME(name) #name,
            TOLVERA_RUNTIME_CALLS(TOLVERA_CALL_NAME)
#undef TOLVERA_CALL_NAME
        };
        seam::add_calls(names, static_cast<int>(sizeof names / sizeof names[0]));
        real = platform::runtime;
#define TOLVERA_CALL_STAND_IN(name) platform::runtime.name = seam_##name;
        TOLVERA_RUNTIME_CALLS(TOLVERA_CALL_STAND_IN)
#undef TOLVERA_CALL_STAND_IN
    }
};
seam_installer installed;

} // namespace
