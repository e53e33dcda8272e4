// The reason for a failure, in the program's German, by error number.
// Shared by the platform implementations; nothing above the platform
// layer uses it.
#pragma once

namespace platform {

// Writes "text: reason" and a line break to standard error, as perror
// does, with the reason for error in German.
void report_with_reason(const char* text, int error);

// Writes the line that tells that the incomplete image at path is still
// there, to standard error.
void report_left_behind(const char* path);

// Whether a failed look at a path says that nothing is there: no such
// file or folder, no such drive, a drive without a medium.
bool means_nothing_there(int error);

} // namespace platform
