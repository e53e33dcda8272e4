// The three questions put before the image is made, in the order asked.
// Each ends the run through end_with_prompt() where its answer says so.
#pragma once

// The drive for the image: an upper-case letter from A to Z.
char ask_drive_letter();

// Returns when nothing is at path, or when the user agreed to replace what
// is there and it has been deleted; ends the run otherwise.
void check_existing_image(const char* path);

// The size of the image in megabytes: 100 or more.
int ask_image_size(char letter);
