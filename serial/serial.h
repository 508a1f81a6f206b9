// Serial ports of the command-line tool: exclusive open, line set-up, the port list, and the
// byte channel of serial/port.h on the handles opened here. Its reads end as soon as a whole
// reply is in (the bytes so far end in their own checksum), else like the dialog's: 20 ms
// after the last byte, 100 ms after the start at the latest.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "serial/port.h"

enum : unsigned {
  SERIAL_READ_INTERVAL_MS = 20,
  SERIAL_READ_TOTAL_MS = 100,
  SERIAL_KEY_SIZE = 4096,
};

// Opens the port at 115,200 baud, 8 data bits, even parity, one stop bit, raw, no flow control,
// DTR and RTS off, held so that no other program honouring the lock can interleave bytes.
// PORT_INVALID on failure, with a message naming the port and the likely cause in message.
PortHandle serial_open(const char* name, char* message, size_t size);
void serial_close(PortHandle port);

// Prints the serial ports present, one a line, as they would be named on the command line; on
// Linux each followed by the stable links to it in /dev/serial/by-id, if any.
int serial_list(FILE* out);
// The same from other directories than /dev and /dev/serial/by-id (POSIX only; for tests).
int serial_list_in(FILE* out, const char* devices, const char* by_id);

// The system's own words for an error code of port_error.
void serial_error_text(uint32_t code, char* text, size_t size);

// What two names of one port have in common (so that the same port given twice is caught):
// false when the name cannot be a port name on this platform.
bool serial_port_key(const char* name, char* key, size_t size);
