// How far the writing is, in the window's title: the percentage, the
// megabytes written of the whole and, once it can be told, the time left.
// The screen stays as it is.
#pragma once

// The writing of an image of so many megabytes begins.
void begin_progress(int megabytes);
// So many megabytes are written.  The title changes only when its text
// does, and at most about once a second: a terminal that redraws its
// title on every block would slow down, and the writing with it.
void show_progress(long long megabytes);
// The blocks are written; the image is being finished on the drive.
void show_finishing();
// The writing is over, however it ended: the user's own title is back.
void end_progress();
