// Ports by what they are: the --list lines, their JSON, and --match.
#include <cctype>

#include "cli/flash.h"
#include "loader/shown_text.h"

namespace {

const char MATCH_FORMS[] =
    "--match takes VID:PID, VID:PID:SERIAL, serial=SERIAL, or terms joined by commas: vid=VID, "
    "pid=PID, serial=, manufacturer=, product= (hex ids; * and ? in the texts)";

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// 1 to 4 hex digits, as four lower-case ones (0403 for 403).
bool usb_id(const std::string& text, std::string& id) {
  if (text.empty() || text.size() > 4 ||
      text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  id = lower(std::string(4 - text.size(), '0') + text);
  return true;
}

// * any run of characters, ? any one; the rest as it stands. Only the last * is ever gone back
// to: what an earlier one took cannot change whether the rest matches, so the time is that of
// the text times the pattern, never exponential in the number of stars.
bool glob(const char* pattern, const char* text) {
  const char* star = nullptr;  // the pattern just after the last * seen
  const char* resume = nullptr;
  while (*text) {
    if (*pattern == '*') {
      star = ++pattern;
      resume = text;
    } else if (*pattern && (*pattern == '?' || *pattern == *text)) {
      ++pattern;
      ++text;
    } else if (star) {
      pattern = star;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return !*pattern;
}

std::string json_or_null(const std::string& text) {
  return text.empty() ? "null" : json_text(text);
}

}  // namespace

bool parse_match(const std::string& pattern, PortMatch& match, std::string& error) {
  match = PortMatch{};
  error = std::string(MATCH_FORMS) + ": " + pattern;
  if (pattern.empty()) return false;
  if (pattern.find('=') == std::string::npos) {
    size_t colon = pattern.find(':');
    size_t second = colon == std::string::npos ? colon : pattern.find(':', colon + 1);
    if (colon == std::string::npos || !usb_id(pattern.substr(0, colon), match.vid) ||
        !usb_id(pattern.substr(colon + 1, second - colon - 1), match.pid))
      return false;
    if (second != std::string::npos) {
      match.serial = pattern.substr(second + 1);
      if (match.serial.empty()) return false;
    }
    return true;
  }
  size_t start = 0;
  while (start <= pattern.size()) {
    size_t end = pattern.find(',', start);
    if (end == std::string::npos) end = pattern.size();
    std::string term = pattern.substr(start, end - start);
    size_t equals = term.find('=');
    if (equals == std::string::npos || equals + 1 == term.size()) return false;
    std::string key = term.substr(0, equals), value = term.substr(equals + 1);
    // All terms must hold: a key given twice could only mean a port that is two things at once.
    if (("," + pattern.substr(0, start)).find("," + key + "=") != std::string::npos) {
      error = "--match names " + key + "= twice: " + pattern;
      return false;
    }
    bool ok = key == "vid"            ? usb_id(value, match.vid)
              : key == "pid"          ? usb_id(value, match.pid)
              : key == "serial"       ? (match.serial = value, true)
              : key == "manufacturer" ? (match.manufacturer = value, true)
              : key == "product"      ? (match.product = value, true)
                                      : false;
    if (!ok) return false;
    start = end + 1;
  }
  error.clear();
  return true;
}

bool port_matches(const PortMatch& match, const PortInfo& port) {
  // A port without a USB identity matches no identity, not even a pattern of "*".
  if (port.vid.empty()) return false;
  return (match.vid.empty() || match.vid == port.vid) &&
         (match.pid.empty() || match.pid == port.pid) &&
         (match.serial.empty() || glob(match.serial.c_str(), port.serial.c_str())) &&
         (match.manufacturer.empty() ||
          glob(lower(match.manufacturer).c_str(), lower(port.manufacturer).c_str())) &&
         (match.product.empty() || glob(lower(match.product).c_str(), lower(port.product).c_str()));
}

std::string port_line(const PortInfo& port) {
  std::string line = shown_text(port.name);
  if (!port.vid.empty()) line += "  " + port.vid + ":" + port.pid;
  if (!port.serial.empty()) line += "  serial=" + shown_text(port.serial);
  for (const std::string* text : {&port.manufacturer, &port.product, &port.description})
    if (!text->empty()) line += "  \"" + shown_text(*text) + "\"";
  for (const std::string& link : port.links) line += "  " + shown_text(link);
  return line;
}

std::string port_json(const PortInfo& port) {
  std::string links;
  for (const std::string& link : port.links) links += (links.empty() ? "" : ",") + json_text(link);
  return "{\"port\":" + json_text(port.name) + ",\"vid\":" + json_or_null(port.vid) +
         ",\"pid\":" + json_or_null(port.pid) + ",\"serial\":" + json_or_null(port.serial) +
         ",\"manufacturer\":" + json_or_null(port.manufacturer) +
         ",\"product\":" + json_or_null(port.product) +
         ",\"description\":" + json_or_null(port.description) + ",\"links\":[" + links + "]}";
}

std::string identity_fields(const PortInfo& port) {
  if (port.vid.empty()) return "";
  return ",\"vid\":" + json_text(port.vid) + ",\"pid\":" + json_text(port.pid) +
         ",\"serial\":" + json_or_null(port.serial);
}

bool matches_any(const std::vector<PortMatch>& matches, const PortInfo& port) {
  for (const PortMatch& match : matches)
    if (port_matches(match, port)) return true;
  return false;
}
