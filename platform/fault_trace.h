// The call trace of the test builds, shared by the POSIX fault injection
// and the Windows fault seam: every call's name is appended to the file
// that TOLVERA_FAULT_TRACE names.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace platform {

inline void trace_call(const char* name) {
    const char* file = std::getenv("TOLVERA_FAULT_TRACE");
    if (file == nullptr)
        return;
    // Opened per call so that the trace survives however the process ends.
    FILE* out = std::fopen(file, "a");
    if (out == nullptr)
        return;
    std::fprintf(out, "%s\n", name);
    static_cast<void>(std::fclose(out));
}

} // namespace platform
