#include "cli/flash.h"

namespace {

// Length of the well-formed UTF-8 sequence at text, 0 when there is none.
size_t utf8_length(const unsigned char* text, size_t left) {
  unsigned char c = text[0];
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || c > 0xF4 || left < n) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((text[i] & 0xC0) != 0x80) return 0;
  // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
  if ((c == 0xE0 && text[1] < 0xA0) || (c == 0xED && text[1] >= 0xA0) ||
      (c == 0xF0 && text[1] < 0x90) || (c == 0xF4 && text[1] >= 0x90))
    return 0;
  return n;
}

}  // namespace

// A byte that is not part of UTF-8 (a name in Latin-1, say) becomes the character of that
// code, \u00e9 for 0xe9, so the name stays legible.
std::string json_text(const std::string& text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    size_t n = c < 0x80 ? 1 : utf8_length(bytes + i, text.size() - i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || n == 0) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, n);
    }
    i += n ? n : 1;
  }
  return out + "\"";
}
