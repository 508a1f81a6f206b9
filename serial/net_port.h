// The record behind a network port's handle, shared by the channel (net.cpp) and the COM Port
// Control Option's negotiation and line settings (com_port.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/channel.h"
#include "serial/socket.h"
#include "serial/telnet.h"

enum : uint32_t { NET_RAW_SIZE = 4096 };

struct NetPort {
  uint32_t kind = CHANNEL_NET;
  SocketId socket = SOCKET_NONE;
  bool telnet = false;
  uint32_t error = 0;
  TelnetReader reader{};
  uint8_t raw[NET_RAW_SIZE];
  uint32_t raw_at = 0, raw_end = 0;
  // Options on our side and the server's, and those refused or already answered once: a
  // server repeating a request gets one answer, not one each time.
  bool ours[256] = {}, theirs[256] = {}, answered[256] = {};
  bool refused = false;  // the server will not do binary or COM port control
  bool com_port = false;
  bool settings_sent = false;
  // The server's answers to the line settings, -1 until given.
  int64_t baud = -1, size = -1, parity = -1, stop = -1, flow = -1;
  bool dtr = false, rts = false;
  std::string early;  // line data before the line was set: a server's words, shown on refusal
  std::vector<uint8_t> out;
};

// net.cpp: bytes to the server (the first failure kept in error), and from it: waits up to
// wait_ms for more into raw (false on none), and decodes what raw holds into buffer (line data,
// up to count; commands go to com_port_take). Returns the data bytes.
void net_send(NetPort& p, const uint8_t* bytes, uint32_t count);
bool net_receive(NetPort& p, uint32_t wait_ms);
uint32_t net_decode(NetPort& p, uint8_t* buffer, uint32_t count);

// com_port.cpp: the negotiation and the line settings, true once the server has taken them
// all; false with a message when it will not (unsuitable set) or does not answer in time.
bool com_port_set_up(NetPort& p, const char* name, char* message, size_t size, bool& unsuitable);
// A command from the server, answered as RFC 854 asks, its COM port answers kept.
void com_port_take(NetPort& p, const TelnetCommand& command);
// PURGE-DATA, both buffers of the server's port.
void com_port_purge(NetPort& p);
