// The reason for a failure, in the program's German, by error number.
// Shared by the platform implementations; nothing above the platform
// layer uses it.
#pragma once

namespace platform {

// Writes "text: reason" and a line break to standard error, as perror
// does, with the reason for errno in German.
void report_with_reason(const char* text);

} // namespace platform
