// The reason for a failure, in the program's German, by error number.
// Shared by the platform implementations; nothing above the platform
// layer uses it.
#pragma once

namespace platform {

// The one error number of the program's own, beyond the system's: a
// device or a FIFO where the image is to be, which is never written.
const int not_a_plain_file = 1000;

// The reason for error in German, or null where the program has no words
// for it.
const char* reason_for(int error);

// Whether a failed look at a path says that nothing is there: no such
// file or folder, no such drive, a drive without a medium.
bool means_nothing_there(int error);

} // namespace platform
