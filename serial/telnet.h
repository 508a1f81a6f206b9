// Telnet (RFC 854) as a serial server speaks it: the reader that tells the server's commands
// from line data, and the escaping of line data on the way out. Every byte from the server is
// untrusted: a sequence of any length, split anywhere, ends in bounded memory and never comes
// out as data.
#pragma once
#include <cstdint>

enum : uint8_t {
  TELNET_SE = 240,
  TELNET_NOP = 241,
  TELNET_SB = 250,
  TELNET_WILL = 251,
  TELNET_WONT = 252,
  TELNET_DO = 253,
  TELNET_DONT = 254,
  TELNET_IAC = 255,
  TELNET_BINARY = 0,
  TELNET_SGA = 3,
  TELNET_COM_PORT = 44,
};

// Longer subnegotiations are cut to this (none of those this client reads is longer than 5).
enum : uint32_t { TELNET_SUB_MAX = 16 };

struct TelnetReader {
  uint8_t state;
  uint8_t verb;  // WILL, WONT, DO or DONT awaiting its option
  uint8_t option;
  uint8_t sub[TELNET_SUB_MAX];
  uint32_t sub_length;  // bytes kept of the subnegotiation so far
  bool sub_cut;         // it was longer than TELNET_SUB_MAX
};

// A whole command: verb WILL, WONT, DO or DONT with its option; SB with its option and its
// bytes (unescaped, cut to TELNET_SUB_MAX, cut set then); or any other command byte alone.
struct TelnetCommand {
  uint8_t verb;
  uint8_t option;
  const uint8_t* sub;
  uint32_t sub_length;
  bool cut;
};

enum TelnetTake : int { TelnetMore, TelnetData, TelnetDone };

// One byte from the server: line data (in data), the end of a command (in command, valid until
// the next call), or part of one.
TelnetTake telnet_take(TelnetReader& reader, uint8_t byte, uint8_t& data, TelnetCommand& command);

// Line data with every 0xFF doubled, into out (room for 2 * count); returns the length.
uint32_t telnet_escape(const uint8_t* data, uint32_t count, uint8_t* out);
