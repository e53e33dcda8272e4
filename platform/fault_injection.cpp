#include "platform/fault_injection.h"
#include "platform/fault_trace.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

const char* const call_names[] = {
    "allocate",  "release",   "query", "chmod", "unlink", "open",  "write", "reserve",
    "freespace", "writeback", "fsync", "close", "read",   "print", "flush", "look"};
const int call_count = sizeof call_names / sizeof call_names[0];

struct planned_fault {
    int call;          // index into call_names
    long use;          // 1 for the first use
    int error;         // errno to set; 0 for a short write or a signal
    int signal_number; // a signal to raise, the call going on as usual
    bool reports;      // the call answers with report instead
    drive_report report;
};

struct plan {
    planned_fault faults[16];
    int count;
};

[[noreturn]] void reject(const char* text, const char* why) {
    std::fprintf(stderr, "TOLVERA_FAULT: %s: '%s'\n", why, text);
    std::abort();
}

// "report<block size>/<blocks>/<available>"
void read_report(const char* how, planned_fault& f, const char* text) {
    int length = 0;
    drive_report& r = f.report;
    if (std::sscanf(how, "report%llu/%llu/%llu%n", &r.block_size, &r.blocks, &r.available,
                    &length) != 3 ||
        how[length] != '\0')
        reject(text, "cannot read the report");
    f.reports = true;
}

// "call:use:errno", "call:use:short", "call:use:sigN" or
// "call:use:report...", several joined by commas.
plan read_plan() {
    plan p{};
    const char* text = std::getenv("TOLVERA_FAULT");
    for (const char* item = text; item != nullptr && *item != '\0';) {
        if (p.count == static_cast<int>(sizeof p.faults / sizeof p.faults[0]))
            reject(text, "too many faults");
        char name[16];
        char how[80];
        int length = 0;
        planned_fault& f = p.faults[p.count++];
        if (std::sscanf(item, "%15[a-z]:%ld:%79[a-z0-9/]%n", name, &f.use, how, &length) != 3)
            reject(text, "cannot read");
        f.call = -1;
        for (int i = 0; i < call_count; i++)
            if (std::strcmp(name, call_names[i]) == 0)
                f.call = i;
        if (f.call < 0)
            reject(text, "no such call");
        if (std::strncmp(how, "sig", 3) == 0)
            f.signal_number = std::atoi(how + 3);
        else if (std::strncmp(how, "report", 6) == 0)
            read_report(how, f, text);
        else if (std::strcmp(how, "short") != 0)
            f.error = std::atoi(how);
        item += length;
        if (*item == ',')
            item++;
    }
    return p;
}

drive_report last_report;

} // namespace

fault injected_fault(call which) {
    static const plan chosen = read_plan();
    static long uses[call_count];

    int index = static_cast<int>(which);
    int saved = errno;
    trace_call(call_names[index]);
    errno = saved;
    long use = ++uses[index];
    const planned_fault* failure = nullptr;
    for (int i = 0; i < chosen.count; i++) {
        const planned_fault& f = chosen.faults[i];
        if (f.call != index || f.use != use)
            continue;
        if (f.signal_number == 0)
            failure = &f;
        else
            static_cast<void>(std::raise(f.signal_number));
    }
    errno = saved;
    if (failure == nullptr)
        return fault::none;
    if (failure->reports) {
        last_report = failure->report;
        return fault::report;
    }
    if (failure->error == 0)
        return fault::short_write;
    errno = failure->error;
    return fault::fail;
}

drive_report injected_report() { return last_report; }

} // namespace platform
