// Serial ports on Windows: discovery into the port table, exclusive open and line set-up.
#pragma once
#include <windows.h>

#include <cstddef>

#include "engine/port.h"
#include "serial/line_w32.h"

enum : int {
  PORT_TABLE_SIZE = 999,
  PORT_PATH_SIZE = 256,
};

// Paths such as \\.\com3 in the order found; item i of the dialog's port list is entry i.
extern char port_table[PORT_TABLE_SIZE][PORT_PATH_SIZE];
extern int port_count;

// Lists every COM port from 1 to 998 that opens now into the table and the list control
// (which may be null), then selects the first item. Returns the number found.
int discover_ports(HWND list);

// Opens for reading and writing, shared with nobody; PORT_INVALID on failure.
PortHandle port_open(const char* path);

// 8 data bits, even parity, one stop bit, no flow control, DTR and RTS off; reads end
// interval_ms after a byte or 100 ms after they start. -1 when the current settings
// cannot be read, 0 otherwise.
int port_configure(PortHandle port, uint32_t baud, uint32_t interval_ms);
