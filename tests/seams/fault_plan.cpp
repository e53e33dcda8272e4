#include "fault_plan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace seam {
namespace {

struct planned {
    int call; // index into the names
    long use; // 1 for the first use
    char how[80];
};

const char* call_names[64];
int call_count = 0;
bool plan_read = false;
planned plan[16];
int planned_count = 0;
long uses[sizeof call_names / sizeof call_names[0]];

[[noreturn]] void reject(const char* text, const char* why) {
    std::fprintf(stderr, "TOLVERA_FAULT: %s: '%s'\n", why, text);
    std::abort();
}

int index_of(const char* name) {
    for (int i = 0; i < call_count; i++)
        if (std::strcmp(name, call_names[i]) == 0)
            return i;
    return -1;
}

void trace(const char* name) {
    const char* file = std::getenv("TOLVERA_FAULT_TRACE");
    if (file == nullptr)
        return;
    FILE* out = std::fopen(file, "a");
    if (out == nullptr)
        return;
    std::fprintf(out, "%s\n", name);
    static_cast<void>(std::fclose(out));
}

void read_plan() {
    plan_read = true;
    const char* text = std::getenv("TOLVERA_FAULT");
    for (const char* item = text; item != nullptr && *item != '\0';) {
        if (planned_count == static_cast<int>(sizeof plan / sizeof plan[0]))
            reject(text, "too many faults");
        planned& p = plan[planned_count++];
        char name[40];
        int length = 0;
        if (std::sscanf(item, "%39[A-Za-z_]:%ld:%79[a-z0-9/]%n", name, &p.use, p.how, &length) != 3)
            reject(text, "cannot read");
        p.call = index_of(name);
        if (p.call < 0)
            reject(text, "no such call");
        item += length;
        if (*item == ',')
            item++;
    }
}

} // namespace

void add_calls(const char* const names[], int count) {
    for (int i = 0; i < count; i++) {
        if (call_count == static_cast<int>(sizeof call_names / sizeof call_names[0]))
            reject(names[i], "too many calls to count");
        call_names[call_count++] = names[i];
    }
}

const char* consult(const char* call, void (*deliver)(const char* how)) {
    int saved = errno;
    if (!plan_read)
        read_plan();
    int index = index_of(call);
    trace(call);
    long use = ++uses[index];
    const char* what = nullptr;
    for (int i = 0; i < planned_count; i++) {
        const planned& p = plan[i];
        if (p.call != index || p.use != use)
            continue;
        if (std::strncmp(p.how, "sig", 3) == 0 || std::strncmp(p.how, "ctrl", 4) == 0)
            deliver(p.how);
        else
            what = p.how;
    }
    errno = saved;
    return what;
}

bool is_number(const char* how) { return how != nullptr && how[0] >= '0' && how[0] <= '9'; }

} // namespace seam
