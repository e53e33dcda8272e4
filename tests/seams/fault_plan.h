// The fault plan and the call trace of the test builds, shared by the
// stand-ins of both platforms (posix_seam.cpp, windows_seam.cpp).
//
// TOLVERA_FAULT says which use of which call does what, as
// "call:use:how", several joined by commas:
//
//   write:3:28          the 3rd use of write does "28" (the stand-ins:
//                       fail with that error number or Windows code)
//   WriteFile:3:short   the 3rd WriteFile does "short"
//   write:3:sig2        signal 2 arrives as the 3rd write starts, which
//                       then goes on as planned (ctrlN on Windows: a
//                       console control event)
//
// TOLVERA_FAULT_TRACE names a file to which every call's name is
// appended, opened anew for each, so that the trace survives however the
// process ends.
#pragma once

namespace seam {

// The names of the calls a plan may name, one table's at a time, before
// main() runs.  The plan is read at the first consult; a plan that cannot
// be read, or names another call, aborts the test run.
void add_calls(const char* const names[], int count);

// Counts and traces this use of the call, hands each interrupt planned
// for it ("sigN", "ctrlN") to deliver, and gives what else is planned
// for it, or null.  errno is kept.
const char* consult(const char* call, void (*deliver)(const char* how));

// The number at the start of how, for an error number or a code.
bool is_number(const char* how);

// Made by each platform's seam for the stand-ins of the C runtime's table
// (runtime_seam.cpp): consult() as for a call of the platform's own, its
// interrupts delivered as on that platform.
const char* consult_runtime(const char* call);

} // namespace seam
