#include "loader/utf8_text.h"

size_t utf8_length(const unsigned char* text, size_t left) {
  if (left == 0) return 0;
  unsigned char c = text[0];
  if (c < 0x80) return 1;
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || c > 0xF4 || left < n) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((text[i] & 0xC0) != 0x80) return 0;
  if ((c == 0xE0 && text[1] < 0xA0) || (c == 0xED && text[1] >= 0xA0) ||
      (c == 0xF0 && text[1] < 0x90) || (c == 0xF4 && text[1] >= 0x90))
    return 0;
  return n;
}
