// The network channel: raw bytes over TCP, or line data inside Telnet with the COM Port Control
// Option (com_port.cpp). Reads end as the local ports' do: as soon as a whole reply is in, else
// 20 ms after the last byte, 100 ms after the start at the latest.
#include "serial/net.h"

#include <cstdio>

#include "engine/clock.h"
#include "engine/frame.h"
#include "serial/net_port.h"
#include "serial/serial.h"

namespace {

NetPort* record(PortHandle port) { return static_cast<NetPort*>(port); }

void fail(NetPort& p, uint32_t code) {
  if (p.error == 0) p.error = code;
}

}  // namespace

void net_send(NetPort& p, const uint8_t* bytes, uint32_t count) {
  if (p.error == 0) fail(p, socket_send(p.socket, bytes, count));
}

uint32_t net_decode(NetPort& p, uint8_t* buffer, uint32_t count) {
  uint32_t got = 0;
  while (p.raw_at < p.raw_end && got < count) {
    uint8_t byte = p.raw[p.raw_at++];
    if (!p.telnet) {
      buffer[got++] = byte;
      continue;
    }
    uint8_t data = 0;
    TelnetCommand command{};
    TelnetTake taken = telnet_take(p.reader, byte, data, command);
    if (taken == TelnetData) buffer[got++] = data;
    if (taken == TelnetDone) com_port_take(p, command);
  }
  return got;
}

bool net_receive(NetPort& p, uint32_t wait_ms) {
  if (p.error) return false;
  uint32_t error = 0;
  int32_t n = socket_receive(p.socket, p.raw, NET_RAW_SIZE, wait_ms, error);
  if (n == SOCKET_CLOSED) fail(p, CHANNEL_CLOSED);
  if (n == SOCKET_FAILED) fail(p, error);
  if (n <= 0) return false;
  p.raw_at = 0;
  p.raw_end = static_cast<uint32_t>(n);
  return true;
}

PortHandle net_open(const NetName& net, const char* name, uint32_t connect_ms, char* message,
                    size_t size, bool& unsuitable) {
  char why[512];
  SocketId socket = socket_connect(net.host.c_str(), net.port, connect_ms, why, sizeof why);
  if (socket == SOCKET_NONE) {
    snprintf(message, size, "%s: %s", name, why);
    return PORT_INVALID;
  }
  auto* p = new NetPort;
  p->socket = socket;
  p->telnet = net.scheme == NetRfc2217;
  if (p->telnet && !com_port_set_up(*p, name, message, size, unsuitable)) {
    net_close(p);
    return PORT_INVALID;
  }
  net_purge(p);
  return p;
}

void net_close(PortHandle port) {
  socket_close(record(port)->socket);
  delete record(port);
}

int32_t net_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  NetPort& p = *record(port);
  const uint32_t start = tick_count();
  uint32_t last_byte = 0;
  uint32_t got = 0;
  while (got < count && p.error == 0) {
    uint32_t decoded = net_decode(p, buffer + got, count - got);
    if (decoded) {
      got += decoded;
      last_byte = tick_count();
      if (bytes_are_reply(buffer, static_cast<int32_t>(got))) break;
      continue;
    }
    if (p.raw_at < p.raw_end) continue;  // commands only so far
    uint32_t now = tick_count();
    uint32_t left = SERIAL_READ_TOTAL_MS - (now - start);
    if (now - start >= SERIAL_READ_TOTAL_MS) break;
    if (got > 0) {
      if (now - last_byte >= SERIAL_READ_INTERVAL_MS) break;
      if (SERIAL_READ_INTERVAL_MS - (now - last_byte) < left)
        left = SERIAL_READ_INTERVAL_MS - (now - last_byte);
    }
    net_receive(p, left);
  }
  return static_cast<int32_t>(got);
}

int32_t net_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  NetPort& p = *record(port);
  if (p.error) return 0;
  // One send a frame: the server passes it on as one piece.
  const uint8_t* bytes = buffer;
  uint32_t length = count;
  if (p.telnet) {
    p.out.resize(2 * size_t{count});
    length = telnet_escape(buffer, count, p.out.data());
    bytes = p.out.data();
  }
  net_send(p, bytes, length);
  return p.error ? 0 : static_cast<int32_t>(count);
}

void net_purge(PortHandle port) {
  NetPort& p = *record(port);
  if (p.telnet) com_port_purge(p);
  // What has come already is dropped, its commands taken.
  // A server that floods is not drained for ever: what it sends later is the engine's to judge.
  uint8_t dropped[256];
  for (int rounds = 0; rounds < 16; ++rounds) {
    while (net_decode(p, dropped, sizeof dropped)) {
    }
    if (!net_receive(p, 0)) break;
  }
}

uint32_t net_error(PortHandle port) { return record(port)->error; }
