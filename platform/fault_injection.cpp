#include "platform/fault_injection.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

const char* const call_names[] = {"allocate", "query", "chmod", "unlink", "open",
                                  "write",    "close", "read",  "print",  "flush"};

struct plan {
    int call;  // index into call_names, -1 for no fault
    long use;  // 1 for the first use
    int error; // errno to set, 0 for a short write
};

plan read_plan() {
    plan p{-1, 0, 0};
    const char* text = std::getenv("TOLVERA_FAULT");
    if (text == nullptr)
        return p;
    char name[16];
    char how[16];
    if (std::sscanf(text, "%15[a-z]:%ld:%15s", name, &p.use, how) != 3) {
        std::fprintf(stderr, "TOLVERA_FAULT: cannot read '%s'\n", text);
        std::abort();
    }
    for (int i = 0; i < static_cast<int>(sizeof call_names / sizeof call_names[0]); i++)
        if (std::strcmp(name, call_names[i]) == 0)
            p.call = i;
    if (p.call < 0) {
        std::fprintf(stderr, "TOLVERA_FAULT: no call named '%s'\n", name);
        std::abort();
    }
    p.error = std::strcmp(how, "short") == 0 ? 0 : std::atoi(how);
    return p;
}

void trace(int index) {
    const char* file = std::getenv("TOLVERA_FAULT_TRACE");
    if (file == nullptr)
        return;
    // Opened per call so that the trace survives however the process ends.
    FILE* out = std::fopen(file, "a");
    if (out == nullptr)
        return;
    std::fprintf(out, "%s\n", call_names[index]);
    static_cast<void>(std::fclose(out));
}

} // namespace

fault injected_fault(call which) {
    static plan chosen = read_plan();
    static long uses[sizeof call_names / sizeof call_names[0]];

    int index = static_cast<int>(which);
    int saved = errno;
    trace(index);
    errno = saved;
    if (++uses[index] != chosen.use || index != chosen.call)
        return fault::none;
    if (chosen.error == 0)
        return fault::short_write;
    errno = chosen.error;
    return fault::fail;
}

} // namespace platform
