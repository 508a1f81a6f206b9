// Windows serial line settings and COM port names, for both front ends.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

enum : int { PORT_NUMBER_MAX = 998 };  // highest COMn that is ever listed or opened

// The two halves of that set-up, on settings read from the port: the line format (members
// it does not name keep their value), and the time-outs (writes have none).
void port_line_settings(DCB& dcb, uint32_t baud);
void port_read_timeouts(COMMTIMEOUTS& timeouts, uint32_t interval_ms);

// A typed COM port name (COM12, com12, \\.\COM12; number 1 to 998; spaces around ignored)
// as the device path \\.\com12. False, leaving path untouched, for anything else.
bool com_port_path(const char* text, char* path, size_t size);
