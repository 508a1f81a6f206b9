// Serial ports of the command-line tool: exclusive open, line set-up, the port list, and the
// byte channel of engine/port.h on the handles opened here, local ports and network serial
// servers alike (serial/net.h). Its reads end as soon as a whole reply is in (the bytes so far
// end in their own checksum), else like the dialog's: 20 ms after the last byte, 100 ms after
// the start at the latest.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/port.h"

enum : unsigned {
  SERIAL_READ_INTERVAL_MS = 20,
  SERIAL_READ_TOTAL_MS = 100,
  SERIAL_KEY_SIZE = 4096,
};

// Opens the port at 115,200 baud, 8 data bits, even parity, one stop bit, raw, no flow control,
// DTR and RTS off, held so that no other program honouring the lock can interleave bytes.
// PORT_INVALID on failure, with a message naming the port and the likely cause in message.
// A network port (rfc2217://, tcp://) is connected within connect_ms; unsuitable is set when
// its server answered with other line settings than those asked for.
PortHandle serial_open(const char* name, char* message, size_t size, uint32_t connect_ms,
                       bool& unsuitable);
void serial_close(PortHandle port);

// What the system knows of a port present. The USB fields are empty for a port without a USB
// parent (built in, virtual) or whose parent could not be read.
struct PortInfo {
  std::string name;      // as it is given on the command line
  std::string vid, pid;  // four lower-case hex digits each
  std::string serial, manufacturer, product;
  std::string description;         // Windows: the friendly name Device Manager shows
  std::vector<std::string> links;  // Linux: the stable links in /dev/serial/by-id, sorted
};

// The serial ports present, in natural order (ttyUSB2 before ttyUSB10, COM2 before COM10).
// On POSIX systems QUARV_FLASH_ROOT, when set, stands in front of /dev and /sys.
std::vector<PortInfo> serial_ports();
// The same with root in front of /dev and /sys ("" for the system's own).
std::vector<PortInfo> serial_ports_in(const std::string& root);

// Windows ids as SetupAPI gives them: the vendor and product id in a hardware or instance id
// (USB\VID_0403&PID_6001..., FTDIBUS\VID_0403+PID_6001+...), and the serial number in an
// instance id where the device has one. Fields not found are left as they are.
void usb_ids_parse(const std::string& id, PortInfo& info);
void usb_serial_parse(const std::string& instance_id, PortInfo& info);

// The system's own words for an error code of port_error.
void serial_error_text(uint32_t code, char* text, size_t size);

// What two names of one port have in common (so that the same port given twice is caught):
// false when the name cannot be a port name on this platform.
bool serial_port_key(const char* name, char* key, size_t size);
// A port name in URL form (rfc2217://, tcp://), valid or not: a serial server on the network.
bool serial_is_network(const char* name);
// The forms of port name taken on this platform, for the message that refuses another.
extern const char SERIAL_NAME_FORMS[];
