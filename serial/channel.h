// Behind the engine's byte channel: the local serial ports of this platform (serial_posix.cpp,
// serial_w32.cpp) and the network serial servers (net.cpp). channel.cpp hands each call to the
// kind of port it is made on; each record behind a PortHandle starts with its kind.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/port.h"

enum : uint32_t {
  CHANNEL_LOCAL = 0x4c4f434c,
  CHANNEL_NET = 0x4e455430,
  // port_error of a network port whose server closed the connection.
  CHANNEL_CLOSED = 0x4e455431,
};

struct ChannelHead {
  uint32_t kind;
};

PortHandle local_open(const char* name, char* message, size_t size);
void local_close(PortHandle port);
int32_t local_read(PortHandle port, uint8_t* buffer, uint32_t count);
int32_t local_write(PortHandle port, const uint8_t* buffer, uint32_t count);
void local_purge(PortHandle port);
uint32_t local_error(PortHandle port);
void local_error_text(uint32_t code, char* text, size_t size);
bool local_port_key(const char* name, char* key, size_t size);
