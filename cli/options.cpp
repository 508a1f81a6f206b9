#include <cstring>
#include <set>

#include "cli/flash.h"
#include "serial/serial.h"

namespace {

const char USAGE[] =
    "Usage: quarv-flash --image FILE [--station] [--log FILE] [--wait SECONDS]\n"
    "                   [--match ID]... [PORT]...\n"
    "  or:  quarv-flash --list [--json] [--match ID]...\n"
    "\n"
    "Writes the firmware image FILE, padded with zeros to whole 1,024-byte blocks, into the flash\n"
    "of the Quarv device on every PORT at once (from 0x08000000, through its serial bootloader),\n"
    "checks the device's CRC-16/MODBUS of it against the image's, and resets the device.\n"
    "\n"
    "Options:\n"
    "  PORT            /dev/ttyUSB0, /dev/ttyACM1 (Linux, macOS: /dev/cu.*); COM5, \\\\.\\COM12;\n"
    "                  a serial server on the network: rfc2217://HOST:PORT (RFC 2217: the\n"
    "                  line is set through it) or tcp://HOST:PORT (raw: the server's line\n"
    "                  must be set to 115200 8E1), HOST a name or an address, IPv6 in\n"
    "                  brackets (rfc2217://[::1]:2217); not with --match. Each is connected\n"
    "                  within 5 s (or --wait) and set up before any device is written;\n"
    "                  --station connects again to one whose connection was lost\n"
    "  --image FILE    the firmware image: a raw binary from 0x08000000, Intel HEX, S-record\n"
    "                  or ELF32, told apart by their content\n"
    "  --wait SECONDS  how long a port waits for its device to answer, at link set-up and at\n"
    "                  any later request; not the wait for the next unit in station mode\n"
    "                  (default 60; 0 waits for ever). A request without answer is resent\n"
    "                  after 5 s: once the device has answered, a port waits at least 6 s,\n"
    "                  so that one lost reply is resent and answered before it gives up\n"
    "  --log FILE      JSON lines in UTF-8, one per event (the engine's trace lines\n"
    "                  included), each with its port and time\n"
    "  --station       production line: after each unit, count it and wait for the next one on\n"
    "                  that port; an answer after 1 s of silence is a new unit's, in any\n"
    "                  phase (requests are repeated after 0.3 s, so silence means no answer):\n"
    "                  a unit silent mid-update has left, FAILED (left before done), or OK\n"
    "                  (reset not confirmed) once verified. Ctrl-C (SIGINT, SIGTERM, SIGHUP)\n"
    "                  ends the run with a tally per port; a unit cut short is INTERRUPTED\n"
    "  --match ID      beside or instead of PORT: every port present whose USB adapter\n"
    "                  matches ID (any of several): VID:PID, VID:PID:SERIAL, serial=SERIAL,\n"
    "                  or terms joined by commas, all of which must hold: vid=VID, pid=PID,\n"
    "                  serial=, manufacturer=, product= (ids in hex; * and ? in the texts,\n"
    "                  the maker and product in any case). With --station: adapters are also\n"
    "                  taken as they are plugged in, and served again when plugged back\n"
    "  --list          print the serial ports present, one a line: the name, then what the\n"
    "                  system knows: USB VID:PID, serial=SERIAL, \"maker\", \"product\",\n"
    "                  (Windows) \"friendly name\", (Linux) /dev/serial/by-id links\n"
    "  --json          with --list: one JSON object a line, unknown fields null\n"
    "  --version       print the version and exit\n"
    "\n"
    "Exit status: 0 every device verified and reset; 1 a device failed verification; 2 bad\n"
    "options or image (no port opened), or a serial server that does not take 115200 8E1\n"
    "(nothing sent); 3 a port could not be opened or set up (a server refused, unknown or\n"
    "silent), or was lost (a connection closed too); no port is flashed when one cannot be\n"
    "opened; 4 no answer within --wait; 5 every device as for 0, but the log could not be\n"
    "written whole; 130 stopped by a signal (SIGINT, SIGTERM, SIGHUP) before every port had\n"
    "ended. When ports end differently: 3 wins over 4, 4 over 1. --station: 0 when no unit\n"
    "failed, 1 otherwise (3 when a port was lost, 130 when a unit was cut short by a\n"
    "signal). Output that cannot be written (a closed pipe) changes neither the updates nor\n"
    "the exit status; the log notes it. --help, --version, --list: 0, or 1 when their output\n"
    "cannot be written. No port matching --match: 2, listing those present.\n";

bool parse_seconds(const char* text, uint32_t& seconds) {
  size_t length = strlen(text);
  if (length == 0 || length > 7 || strspn(text, "0123456789") != length) return false;
  seconds = static_cast<uint32_t>(strtoul(text, nullptr, 10));
  return true;
}

}  // namespace

const char* usage_text() { return USAGE; }

bool parse_options(int argc, const char* const* argv, CliOptions& options, std::string& error) {
  bool options_end = false;
  bool image_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_end || arg.empty() || arg[0] != '-') {
      options.ports.push_back(arg);
      continue;
    }
    std::string value;
    bool has_value = false;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
      has_value = true;
    }
    bool wants_value = arg == "--image" || arg == "--log" || arg == "--wait" || arg == "--match";
    if (wants_value && !has_value) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
    } else if (!wants_value && has_value) {
      error = arg + " takes no value";
      return false;
    }
    if (arg == "--") {
      options_end = true;
    } else if (arg == "--image") {
      if (image_given || value.empty()) {
        error = image_given ? "--image given twice" : "--image needs a file";
        return false;
      }
      options.image_path = value;
      image_given = true;
    } else if (arg == "--log") {
      if (value.empty()) {
        error = "--log needs a file";
        return false;
      }
      options.log_path = value;
    } else if (arg == "--wait") {
      if (!parse_seconds(value.c_str(), options.wait_s)) {
        error = "--wait takes whole seconds, 0 to 9999999: " + value;
        return false;
      }
    } else if (arg == "--station") {
      options.station = true;
    } else if (arg == "--match") {
      PortMatch match;
      if (!parse_match(value, match, error)) return false;
      options.matches.push_back(value);
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (options.help || options.version) return true;
  if (options.list || options.json) {
    if (options.list && options.ports.empty() && !image_given && !options.station &&
        options.log_path.empty())
      return true;
    error = options.list ? "--list takes only --json and --match" : "--json goes with --list";
    return false;
  }
  if (!image_given) {
    error = "--image FILE is required";
    return false;
  }
  if (options.ports.empty() && options.matches.empty()) {
    error = "no PORT or --match given";
    return false;
  }
  for (const std::string& name : options.ports)
    if (!options.matches.empty() && serial_is_network(name.c_str())) {
      error = "--match selects USB adapters by what they are, which a network port (" + name +
              ") does not tell: give network ports without --match";
      return false;
    }
  return true;
}

uint32_t connect_ms(uint32_t wait_s) {
  return wait_s && wait_s * 1000ull < NET_CONNECT_MS ? wait_s * 1000 : NET_CONNECT_MS;
}

bool check_ports(const CliOptions& options, std::string& error) {
  std::set<std::string> seen;
  for (const std::string& name : options.ports) {
    char key[SERIAL_KEY_SIZE];
    if (!serial_port_key(name.c_str(), key, sizeof key)) {
      error = "not a port name on this system: " + name + " (" + SERIAL_NAME_FORMS + ")";
      return false;
    }
    if (!seen.insert(key).second) {
      error = "the same port twice: " + name;
      return false;
    }
  }
  return true;
}
