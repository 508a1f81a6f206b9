#include "cli/flash.h"
#include "loader/utf8_text.h"

// A byte that is not part of UTF-8 (a name in Latin-1, say) becomes the character of that
// code, \u00e9 for 0xe9, so the name stays legible.
std::string json_text(const std::string& text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    size_t n = utf8_length(bytes + i, text.size() - i);
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
