// libFuzzer target: the network channel with the fuzzer's bytes as a serial server's, cut into
// TCP segments anywhere and arriving whenever. Opening (option negotiation, the line settings),
// reads, purges and writes stay inside their buffers, end in bounded time (virtual here) and do
// nothing undefined. Line data escaped and interleaved with commands decodes to itself.
#include <cstring>
#include <vector>

#include "diag/trace.h"
#include "engine/clock.h"
#include "serial/net.h"
#include "serial/socket.h"
#include "serial/telnet.h"

static const uint8_t* input;  // the fuzzer's bytes, left of them still unread
static size_t left;
static uint32_t now_ms;

static uint32_t take(size_t bytes) {
  uint32_t value = 0;
  for (; bytes > 0 && left > 0; --bytes, --left) value = value << 8 | *input++;
  return value;
}

SocketId socket_connect(const char*, uint16_t, uint32_t, char*, size_t) { return 1; }
void socket_close(SocketId) {}
bool socket_stopped() { return false; }
uint32_t socket_send(SocketId, const uint8_t*, uint32_t) { return 0; }
// A segment of fuzz-chosen length, some milliseconds on; silence for the whole wait once the
// input is spent, which is where a reader that does not bound its waits would spin.
int32_t socket_receive(SocketId, uint8_t* buffer, uint32_t size, uint32_t wait_ms,
                       uint32_t& error) {
  if (left == 0) {
    now_ms += wait_ms;
    return 0;
  }
  const uint32_t header = take(1);
  if (header == 0xff) {
    error = 104;
    return SOCKET_FAILED;
  }
  now_ms += header % 8;
  const size_t n = std::min<size_t>(std::min<size_t>(header * 4u, left), size);
  memcpy(buffer, input, n);
  input += n;
  left -= n;
  return static_cast<int32_t>(n);
}
void socket_address_key(const char* host, char* key, size_t size) {
  snprintf(key, size, "%s", host);
}
void serial_error_text(uint32_t, char* text, size_t size) { snprintf(text, size, "lost"); }
uint32_t tick_count() { return ++now_ms; }
void sleep_ms(uint32_t ms) { now_ms += ms; }

// Line data with commands between its bytes comes out of the reader as the data, whole.
static void check_round_trip(const uint8_t* data, size_t size) {
  // A command, a notice with a doubled 0xFF, an option, a subnegotiation broken off by a
  // command, one longer than the reader keeps.
  static const uint8_t noise[] = {TELNET_IAC,
                                  TELNET_NOP,
                                  TELNET_IAC,
                                  TELNET_SB,
                                  TELNET_COM_PORT,
                                  107,
                                  TELNET_IAC,
                                  TELNET_IAC,
                                  TELNET_IAC,
                                  TELNET_SE,
                                  TELNET_IAC,
                                  TELNET_DO,
                                  TELNET_BINARY,
                                  TELNET_IAC,
                                  TELNET_SB,
                                  TELNET_COM_PORT,
                                  106,
                                  1,
                                  TELNET_IAC,
                                  TELNET_NOP,
                                  TELNET_IAC,
                                  TELNET_SB,
                                  TELNET_COM_PORT,
                                  1,
                                  2,
                                  3,
                                  4,
                                  5,
                                  6,
                                  7,
                                  8,
                                  9,
                                  10,
                                  11,
                                  12,
                                  13,
                                  14,
                                  15,
                                  16,
                                  17,
                                  18,
                                  19,
                                  20,
                                  TELNET_IAC,
                                  TELNET_SE};
  TelnetReader reader{};
  std::vector<uint8_t> decoded;
  for (size_t i = 0; i <= size; ++i) {
    uint8_t out = 0;
    TelnetCommand command{};
    for (uint8_t byte : noise)
      if (telnet_take(reader, byte, out, command) == TelnetData) __builtin_trap();
    if (i == size) break;
    uint8_t unit[2];
    for (uint32_t j = 0, n = telnet_escape(data + i, 1, unit); j < n; ++j)
      if (telnet_take(reader, unit[j], out, command) == TelnetData) decoded.push_back(out);
  }
  if (decoded.size() != size || (size && memcmp(decoded.data(), data, size) != 0)) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  trace_to_sink([](void*, const char*) {}, nullptr);
  check_round_trip(data, std::min<size_t>(size, 64));
  input = data;
  left = size;
  NetName name{take(1) & 1 ? NetTcp : NetRfc2217, "server", 2217};
  char message[512];
  bool unsuitable = false;
  PortHandle port =
      net_open(name, "rfc2217://server:2217", NET_CONNECT_MS, message, sizeof message, unsuitable);
  if (port == PORT_INVALID) return 0;
  static const uint8_t frame[] = {0x04, 0xff, 0xff, 0x00, 0xff, 0x10};
  std::vector<uint8_t> buffer(1040);
  for (int reads = 0; left > 0 && reads < 10000; ++reads) {
    const uint32_t what = take(1);
    if (what % 16 == 0) net_purge(port);
    if (what % 16 == 1) net_write(port, frame, sizeof frame);
    net_read(port, buffer.data(), 1 + what * 4);
  }
  net_close(port);
  return 0;
}
