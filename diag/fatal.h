// The fatal-error box: the one way the program ends on an error it cannot carry on from.
#pragma once
#include <cstddef>
#include <cstdint>

enum : size_t { FATAL_TEXT_SIZE = 1000 };

// Builds the box's text for message and a last-error code into text (size bytes, at least
// enough for the closing line): heading, the indented message, for a non-zero code its number
// and the system's description when that fits, and always the closing line. Returns its length.
size_t fatal_text(char* text, size_t size, const char* message, uint32_t code);

// Shows the text for message and the thread's last error, beeps and exits with status 1.
[[noreturn]] void fatal_error(const char* message);
