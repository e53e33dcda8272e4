// The calls of the C runtime that both platforms make alike: the text
// streams, the error lines and the end of the process.  runtime.cpp makes
// each of them through the table runtime, never directly; a test build
// may put stand-ins into it before main() runs, as into the platform's own
// table (posix_calls.h, windows_calls.h).
//
// One list names them all: the table's fields and its entries are both
// made from it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#define TOLVERA_RUNTIME_CALLS(X) X(vprintf) X(vfprintf) X(fflush) X(fgets) X(exit)

namespace platform {

struct runtime_calls {
#define TOLVERA_CALL_FIELD(name) decltype(&::name) name;
    TOLVERA_RUNTIME_CALLS(TOLVERA_CALL_FIELD)
#undef TOLVERA_CALL_FIELD
};

extern runtime_calls runtime;

} // namespace platform
