// The serial ports present on Linux and macOS, and what sysfs knows of each (Linux): the USB
// device above the tty, read from its files, no library needed. Entries come and go as
// adapters are plugged in and out, so any of them may vanish while it is read: what cannot be
// read is left empty.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "serial/serial.h"

namespace {

// Names serial adapters take on Linux and macOS: they exist only while the adapter is there.
const char* const ADAPTER_NAMES[] = {"ttyUSB",    "ttyACM",  "cu.usb",
                                     "cu.serial", "cu.SLAB", "cu.wch"};
// Built-in ports' names exist whether or not a port is behind them.
const char* const BUILT_IN_NAMES[] = {"ttyS", "ttyAMA", "ttymxc"};

template <size_t N>
bool starts_with_one(const char* name, const char* const (&prefixes)[N]) {
  return std::any_of(std::begin(prefixes), std::end(prefixes),
                     [name](const char* p) { return strncmp(name, p, strlen(p)) == 0; });
}

// A built-in port is there when it opens as a terminal, or is busy elsewhere. Adapters are not
// opened: opening raises DTR and RTS, which may be wired to a target's reset.
bool built_in_present(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == EBUSY;
  termios line{};
  bool terminal = tcgetattr(fd, &line) == 0;
  close(fd);
  return terminal;
}

// Natural order: ttyUSB2 before ttyUSB10.
bool natural_less(const std::string& a, const std::string& b) {
  size_t a_digits = a.find_last_not_of("0123456789") + 1;
  size_t b_digits = b.find_last_not_of("0123456789") + 1;
  int stem = a.compare(0, a_digits, b, 0, b_digits);
  if (stem != 0) return stem < 0;
  return a.size() - a_digits != b.size() - b_digits ? a.size() - a_digits < b.size() - b_digits
                                                    : a < b;
}

std::string resolved(const std::string& path) {
  char target[PATH_MAX];
  return realpath(path.c_str(), target) ? target : "";
}

// The links in by_id (stable names: adapter model and serial number) to each device, by the
// device's resolved path.
std::multimap<std::string, std::string> stable_links(const std::string& by_id) {
  std::multimap<std::string, std::string> links;
  DIR* dir = opendir(by_id.c_str());
  if (!dir) return links;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string link = by_id + "/" + entry->d_name;
    std::string target = resolved(link);
    if (!target.empty()) links.emplace(target, link);
  }
  closedir(dir);
  return links;
}

// The first line of a sysfs attribute; empty when it is not there (or no longer).
std::string attribute(const std::string& dir, const char* name) {
  std::ifstream file(dir + "/" + name);
  std::string line;
  if (!file || !std::getline(file, line)) return "";
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line.size() > 256 ? line.substr(0, 256) : line;
}

bool hex4(const std::string& text) {
  return text.size() == 4 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// The nearest USB device above the tty (past its interface; a hub above it is farther up), not
// looking outside sysfs. A tty without a device link (a pseudo-terminal) or with a broken one
// has none.
void usb_identity(const std::string& sys, const std::string& tty, PortInfo& info) {
  std::string top = resolved(sys);
  std::string dir = resolved(sys + "/class/tty/" + tty + "/device");
  if (top.empty()) return;
  while (dir.size() > top.size() && dir.compare(0, top.size(), top) == 0) {
    std::string vid = attribute(dir, "idVendor"), pid = attribute(dir, "idProduct");
    if (hex4(vid) && hex4(pid)) {
      for (std::string* id : {&vid, &pid})
        for (char& c : *id) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      info.vid = vid;
      info.pid = pid;
      info.serial = attribute(dir, "serial");
      info.manufacturer = attribute(dir, "manufacturer");
      info.product = attribute(dir, "product");
      return;
    }
    dir.resize(dir.rfind('/'));
  }
}

}  // namespace

std::vector<PortInfo> serial_ports_in(const std::string& root) {
  const std::string devices = root + "/dev";
  std::vector<std::string> found;
  DIR* dev = opendir(devices.c_str());
  if (!dev) return {};
  while (dirent* entry = readdir(dev)) {
    std::string path = devices + "/" + entry->d_name;
    if (starts_with_one(entry->d_name, ADAPTER_NAMES) ||
        (starts_with_one(entry->d_name, BUILT_IN_NAMES) && built_in_present(path)))
      found.push_back(entry->d_name);
  }
  closedir(dev);
  std::sort(found.begin(), found.end(), natural_less);
  std::multimap<std::string, std::string> links = stable_links(devices + "/serial/by-id");
  std::vector<PortInfo> ports;
  for (const std::string& tty : found) {
    PortInfo info;
    info.name = devices + "/" + tty;
    std::string target = resolved(info.name);
    auto named = links.equal_range(target.empty() ? info.name : target);
    for (auto at = named.first; at != named.second; ++at) info.links.push_back(at->second);
    std::sort(info.links.begin(), info.links.end());
    usb_identity(root + "/sys", tty, info);
    ports.push_back(info);
  }
  return ports;
}

std::vector<PortInfo> serial_ports() {
  const char* root = getenv("QUARV_FLASH_ROOT");
  return serial_ports_in(root ? root : "");
}
