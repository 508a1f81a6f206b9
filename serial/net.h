// Serial servers on the network, named as URLs: rfc2217://HOST:PORT speaks the Telnet COM Port
// Control Option (RFC 2217) and sets the line itself; tcp://HOST:PORT is a raw socket to a
// server whose owner has set its line. IPv6 addresses go in brackets: rfc2217://[::1]:2217.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/port.h"

enum : uint32_t {
  NET_CONNECT_MS = 5000,  // one attempt to connect
  NET_SET_UP_MS = 10000,  // the server's answers to the line settings
  NET_BAUD = 115200,
};

enum NetScheme : int { NetRfc2217, NetTcp };

struct NetName {
  NetScheme scheme;
  std::string host;  // without the brackets of an IPv6 address
  uint16_t port;
};

enum NetParse : int { NetNotUrl, NetUrl, NetBadUrl };

// NetNotUrl for a name without "://" (a local port's), NetBadUrl for one in URL form that is
// not rfc2217:// or tcp:// with a valid host and a port of 1 to 65535.
NetParse net_name_parse(const char* name, NetName& parsed);

// Connects within connect_ms and, for rfc2217://, sets the line to 115,200 baud 8E1, no flow
// control, DTR and RTS off, waiting for the server's answers. PORT_INVALID on failure with the
// reason in message; unsuitable is set when the server answered with other line settings than
// those asked for (nothing was sent to the device).
PortHandle net_open(const NetName& net, const char* name, uint32_t connect_ms, char* message,
                    size_t size, bool& unsuitable);
void net_close(PortHandle port);
int32_t net_read(PortHandle port, uint8_t* buffer, uint32_t count);
int32_t net_write(PortHandle port, const uint8_t* buffer, uint32_t count);
void net_purge(PortHandle port);
uint32_t net_error(PortHandle port);
