#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diag/fatal.h"

static const char closing[] = "\n\n The program will now abort\n\n\n";

// Appends formatted text within limit bytes (terminator included), cutting it short if need be.
static size_t append(char* text, size_t length, size_t limit, const char* format, ...) {
  if (length + 1 >= limit) return length;
  va_list args;
  va_start(args, format);
  int wrote = vsnprintf(text + length, limit - length, format, args);
  va_end(args);
  if (wrote < 0) return length;
  size_t added = static_cast<size_t>(wrote);
  return added < limit - length ? length + added : limit - 1;
}

size_t fatal_text(char* text, size_t size, const char* message, uint32_t code) {
  if (size < sizeof closing) {
    if (size) text[0] = '\0';
    return 0;
  }
  // Everything before the closing line stays within this, so the closing line always fits.
  const size_t limit = size - (sizeof closing - 1);
  text[0] = '\0';
  size_t length = append(text, 0, limit, "\n\nAn Error has occurred as follows:\n");
  length = append(text, length, limit, "          %s\n", message);
  if (code != 0) {
    length = append(text, length, limit, "Error number %ld reported\n", static_cast<long>(code));
    // System texts may hold inserts such as %1; with no arguments to give they must stay as
    // written, or the call would read arguments that were never passed.
    DWORD room = static_cast<DWORD>(limit - length);
    DWORD added = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text + length, room, nullptr);
    if (added > 0 && added < room) length += added;
    text[length] = '\0';  // a description that did not fit is left out whole
  }
  memcpy(text + length, closing, sizeof closing);
  return length + sizeof closing - 1;
}
