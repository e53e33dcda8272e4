// The program: the questions, then the image file of zero bytes.
#pragma once

// Runs the whole dialogue and makes the image; every road ends the process
// through the exit prompt.
[[noreturn]] void make_image();
