#include "loader/shown_text.h"

#include "loader/utf8_text.h"

std::string shown_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    size_t n = utf8_length(bytes + i, text.size() - i);
    // A code point below U+00A0 is a control unless it is printable ASCII.
    unsigned code = n == 2 ? (c & 0x1Fu) << 6 | (bytes[i + 1] & 0x3Fu) : n == 1 ? c : 0x100;
    if (n == 0) code = c;  // Latin-1
    if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
      out += '?';
    } else if (n == 0) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out.append(text, i, n);
    }
    i += n ? n : 1;
  }
  return out;
}
