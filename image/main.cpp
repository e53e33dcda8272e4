#include "image/image.h"

// Command-line arguments are not read.
int main() { make_image(); }
