// The three questions put before the image is made, in the order asked.
// Each ends the run through end_with_prompt() where its answer says so.
#pragma once

#include "platform/platform.h"

// The drive for the image: an upper-case letter from A to Z.
char ask_drive_letter();

// What the user decided about what is at the image path.
enum class old_image {
    nothing_there,
    replace_agreed,
    keep, // the run ends, and what is there stays as it is
};

// Looks whether something is at path and, where it is, asks whether it
// may be replaced; shown gets the identity of the file that the question
// showed, which is all that a yes covers.  Only asks: it touches nothing.
// A look that fails for another reason than that nothing is there, and
// the end of the input, end the run.
old_image check_existing_image(const char* path, platform::file_identity* shown);

// The size of the image in megabytes: 100 or more.
int ask_image_size(char letter);
