// The USB identity within the ids Windows gives a device. Portable, so that every form met in
// the field can be checked on any build machine.
#include <cctype>

#include "serial/serial.h"

namespace {

bool is_separator(char c) { return c == '\\' || c == '&' || c == '+'; }

// The four hex digits after KEY_ (VID_, PID_) where the key starts a field; lower case.
std::string field_hex(const std::string& id, const char* key) {
  for (size_t at = 1; at + 8 <= id.size(); ++at) {
    if (!is_separator(id[at - 1])) continue;
    bool same = true;
    for (size_t k = 0; k < 4 && same; ++k)
      same = toupper(static_cast<unsigned char>(id[at + k])) == key[k];
    if (!same) continue;
    std::string hex = id.substr(at + 4, 4);
    for (char& c : hex) {
      if (!isxdigit(static_cast<unsigned char>(c))) return "";
      c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    // A fifth digit would make it something else than a 16-bit id.
    if (at + 8 < id.size() && isxdigit(static_cast<unsigned char>(id[at + 8]))) return "";
    return hex;
  }
  return "";
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void usb_ids_parse(const std::string& id, PortInfo& info) {
  std::string vid = field_hex(id, "VID_"), pid = field_hex(id, "PID_");
  if (vid.empty() || pid.empty()) return;
  info.vid = vid;
  info.pid = pid;
}

void usb_serial_parse(const std::string& instance_id, PortInfo& info) {
  size_t first = instance_id.find('\\');
  size_t second = first == std::string::npos ? first : instance_id.find('\\', first + 1);
  if (second == std::string::npos) return;
  std::string bus = upper(instance_id.substr(0, first));
  std::string device = instance_id.substr(first + 1, second - first - 1);
  std::string last = instance_id.substr(second + 1);
  if (bus == "USB") {
    // Windows makes up an id with '&' in it for a device without a serial number, and for
    // each interface of a composite device (MI_nn), whose serial number is its parent's.
    if (upper(device).find("&MI_") != std::string::npos || last.empty() ||
        last.find('&') != std::string::npos)
      return;
    info.serial = last;
  } else if (bus == "FTDIBUS") {
    // VID_0403+PID_6001+A50285BIA: the serial number with the channel's letter after it.
    size_t plus = device.rfind('+');
    if (plus == std::string::npos || device.size() - plus < 3) return;
    info.serial = device.substr(plus + 1, device.size() - plus - 2);
  }
}
