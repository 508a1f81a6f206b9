// The network channel: raw bytes over TCP, or line data inside Telnet with the COM Port Control
// Option (RFC 2217 on RFC 854, 856 and 858). Reads end as the local ports' do: as soon as a
// whole reply is in, else 20 ms after the last byte, 100 ms after the start at the latest.
#include "serial/net.h"

#include <cstdio>
#include <string>
#include <vector>

#include "diag/trace.h"
#include "engine/clock.h"
#include "engine/frame.h"
#include "serial/channel.h"
#include "serial/serial.h"
#include "serial/socket.h"
#include "serial/telnet.h"

namespace {

// COM Port Control commands of the client; the server answers each with its code + 100.
enum : uint8_t {
  SET_BAUDRATE = 1,
  SET_DATASIZE = 2,
  SET_PARITY = 3,
  SET_STOPSIZE = 4,
  SET_CONTROL = 5,
  PURGE_DATA = 12,
  SERVER_OFFSET = 100,
  PARITY_EVEN = 3,
  CONTROL_NO_FLOW = 1,
  CONTROL_DTR_OFF = 9,
  CONTROL_RTS_OFF = 12,
  PURGE_BOTH = 3,
  DATA_BITS = 8,
  STOP_BITS_ONE = 1,
};

enum : uint32_t { RAW_SIZE = 4096, EARLY_TEXT = 80 };

struct NetPort {
  uint32_t kind = CHANNEL_NET;
  SocketId socket = SOCKET_NONE;
  bool telnet = false;
  uint32_t error = 0;
  TelnetReader reader{};
  uint8_t raw[RAW_SIZE];
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

NetPort* record(PortHandle port) { return static_cast<NetPort*>(port); }

bool wanted_ours(uint8_t option) {
  return option == TELNET_BINARY || option == TELNET_SGA || option == TELNET_COM_PORT;
}
bool wanted_theirs(uint8_t option) { return option == TELNET_BINARY || option == TELNET_SGA; }

void fail(NetPort& p, uint32_t code) {
  if (p.error == 0) p.error = code;
}

void send_bytes(NetPort& p, const uint8_t* bytes, uint32_t count) {
  if (p.error == 0) fail(p, socket_send(p.socket, bytes, count));
}

void send_option(NetPort& p, uint8_t verb, uint8_t option) {
  const uint8_t bytes[] = {TELNET_IAC, verb, option};
  send_bytes(p, bytes, sizeof bytes);
}

// IAC SB COM-PORT-OPTION command value IAC SE, the value's 0xFF bytes doubled.
void send_com_port(NetPort& p, uint8_t command, const uint8_t* value, uint32_t length) {
  uint8_t bytes[16] = {TELNET_IAC, TELNET_SB, TELNET_COM_PORT, command};
  uint32_t at = 4 + telnet_escape(value, length, bytes + 4);
  bytes[at++] = TELNET_IAC;
  bytes[at++] = TELNET_SE;
  send_bytes(p, bytes, at);
}

void send_settings(NetPort& p) {
  // The modem lines first: a server whose port has none (a pseudo-terminal) never answers
  // them, and by the time the line settings are answered these are known to be unanswered.
  const uint8_t dtr = CONTROL_DTR_OFF, rts = CONTROL_RTS_OFF, flow = CONTROL_NO_FLOW;
  send_com_port(p, SET_CONTROL, &dtr, 1);
  send_com_port(p, SET_CONTROL, &rts, 1);
  const uint8_t baud[] = {0, static_cast<uint8_t>(NET_BAUD >> 16),
                          static_cast<uint8_t>(NET_BAUD >> 8), static_cast<uint8_t>(NET_BAUD)};
  send_com_port(p, SET_BAUDRATE, baud, sizeof baud);
  const uint8_t size = DATA_BITS, parity = PARITY_EVEN, stop = STOP_BITS_ONE;
  send_com_port(p, SET_DATASIZE, &size, 1);
  send_com_port(p, SET_PARITY, &parity, 1);
  send_com_port(p, SET_STOPSIZE, &stop, 1);
  send_com_port(p, SET_CONTROL, &flow, 1);
  p.settings_sent = true;
}

void com_port_answer(NetPort& p, const TelnetCommand& command) {
  if (command.sub_length < 2 || command.cut) return;
  uint8_t code = command.sub[0];
  const uint8_t* value = command.sub + 1;
  uint32_t length = command.sub_length - 1;
  if (code == SERVER_OFFSET + SET_BAUDRATE && length == 4)
    p.baud = (int64_t{value[0]} << 24) | (value[1] << 16) | (value[2] << 8) | value[3];
  else if (code == SERVER_OFFSET + SET_DATASIZE && length == 1)
    p.size = value[0];
  else if (code == SERVER_OFFSET + SET_PARITY && length == 1)
    p.parity = value[0];
  else if (code == SERVER_OFFSET + SET_STOPSIZE && length == 1)
    p.stop = value[0];
  else if (code == SERVER_OFFSET + SET_CONTROL && length == 1) {
    // One answer code for every control: the value tells which one it answers.
    uint8_t v = value[0];
    if (v <= 3 || (v >= 17 && v <= 19)) p.flow = v;
    if (v >= 7 && v <= 9) p.dtr = true;
    if (v >= 10 && v <= 12) p.rts = true;
  }
  // Line and modem state notifications, purge answers and the rest carry nothing needed here.
}

// The answers of RFC 854's option negotiation, without loops: an option already in the state
// asked for, or refused once, is not answered again.
void take_command(NetPort& p, const TelnetCommand& command) {
  uint8_t option = command.option;
  switch (command.verb) {
    case TELNET_DO:
      if (wanted_ours(option)) {
        if (!p.ours[option]) p.ours[option] = true;
        if (option == TELNET_COM_PORT) p.com_port = true;
      } else if (!p.answered[option]) {
        p.answered[option] = true;
        send_option(p, TELNET_WONT, option);
      }
      break;
    case TELNET_DONT:
      if (option == TELNET_BINARY || option == TELNET_COM_PORT) p.refused = true;
      if (p.ours[option]) send_option(p, TELNET_WONT, option);
      p.ours[option] = false;
      break;
    case TELNET_WILL:
      if (wanted_theirs(option)) {
        p.theirs[option] = true;
      } else if (!p.answered[option]) {
        p.answered[option] = true;
        send_option(p, TELNET_DONT, option);
      }
      break;
    case TELNET_WONT:
      if (option == TELNET_BINARY) p.refused = true;
      if (p.theirs[option]) send_option(p, TELNET_DONT, option);
      p.theirs[option] = false;
      break;
    case TELNET_SB:
      if (option == TELNET_COM_PORT) com_port_answer(p, command);
      break;
    default: break;  // NOP, GA and the like
  }
}

// Decodes buffered bytes from the server into buffer (up to count): line data there, commands
// taken. Returns the data bytes.
uint32_t decode(NetPort& p, uint8_t* buffer, uint32_t count) {
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
    if (taken == TelnetDone) take_command(p, command);
  }
  return got;
}

// Waits up to wait_ms for more bytes from the server into the buffer; false on none.
bool receive(NetPort& p, uint32_t wait_ms) {
  if (p.error) return false;
  uint32_t error = 0;
  int32_t n = socket_receive(p.socket, p.raw, RAW_SIZE, wait_ms, error);
  if (n == SOCKET_CLOSED) fail(p, CHANNEL_CLOSED);
  if (n == SOCKET_FAILED) fail(p, error);
  if (n <= 0) return false;
  p.raw_at = 0;
  p.raw_end = static_cast<uint32_t>(n);
  return true;
}

const char* parity_name(int64_t parity) {
  static const char* const names[] = {"asked for", "none", "odd", "even", "mark", "space"};
  return parity >= 0 && parity <= 5 ? names[parity] : "unknown";
}

// The line settings, and the server's answers: true once it has taken them all, false with a
// message when it will not (unsuitable set) or does not answer within NET_SET_UP_MS.
bool set_up(NetPort& p, const char* name, char* message, size_t size, bool& unsuitable) {
  send_option(p, TELNET_WILL, TELNET_BINARY);
  send_option(p, TELNET_DO, TELNET_BINARY);
  send_option(p, TELNET_WILL, TELNET_SGA);
  send_option(p, TELNET_DO, TELNET_SGA);
  send_option(p, TELNET_WILL, TELNET_COM_PORT);
  const uint32_t start = tick_count();
  uint8_t data[256];
  while (p.error == 0 && !p.refused && tick_count() - start < NET_SET_UP_MS) {
    uint32_t got = decode(p, data, sizeof data);
    for (uint32_t i = 0; i < got && p.early.size() < EARLY_TEXT; ++i)
      p.early += static_cast<char>(data[i] >= 0x20 && data[i] < 0x7f ? data[i] : ' ');
    if (p.com_port && !p.settings_sent) send_settings(p);
    if (p.baud >= 0 && p.size >= 0 && p.parity >= 0 && p.stop >= 0) break;
    uint32_t spent = tick_count() - start;
    if (p.raw_at == p.raw_end && spent < NET_SET_UP_MS) receive(p, NET_SET_UP_MS - spent);
  }
  std::string said =
      p.early.find_first_not_of(' ') != std::string::npos ? " (it said \"" + p.early + "\")" : "";
  if (p.error) {
    char why[256];
    serial_error_text(p.error, why, sizeof why);
    snprintf(message, size, "%s: %s while setting the line up%s", name, why, said.c_str());
    return false;
  }
  if (p.refused || !p.com_port) {
    snprintf(message, size,
             p.refused ? "%s: the server refuses binary transmission or COM port control (RFC "
                         "2217)%s"
                       : "%s: the server did not agree to COM port control (RFC 2217) within "
                         "10 s%s",
             name, said.c_str());
    return false;
  }
  if (p.baud < 0 || p.size < 0 || p.parity < 0 || p.stop < 0) {
    snprintf(message, size, "%s: the server did not answer the line settings within 10 s%s", name,
             said.c_str());
    return false;
  }
  if (p.baud != NET_BAUD || p.size != DATA_BITS || p.parity != PARITY_EVEN ||
      p.stop != STOP_BITS_ONE || (p.flow >= 0 && p.flow != CONTROL_NO_FLOW)) {
    unsuitable = true;
    snprintf(message, size,
             "%s: the server does not take 115200 baud, 8 data bits, even parity, 1 stop bit, "
             "no flow control: it answered %lld baud, %lld data bits, parity %s (%lld), stop "
             "bits %lld%s",
             name, static_cast<long long>(p.baud), static_cast<long long>(p.size),
             parity_name(p.parity), static_cast<long long>(p.parity),
             static_cast<long long>(p.stop), p.flow > CONTROL_NO_FLOW ? ", flow control on" : "");
    return false;
  }
  if (!p.ours[TELNET_BINARY] || !p.theirs[TELNET_BINARY])
    trace("%s: the server has not confirmed binary transmission both ways\n", name);
  trace("%s: line set to 115200 baud 8E1, no flow control\n", name);
  if (!p.dtr || !p.rts)
    trace(
        "%s: the server did not answer DTR and RTS off: its port has no modem lines (a "
        "pseudo-terminal?); used without them\n",
        name);
  return true;
}

}  // namespace

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
  if (p->telnet && !set_up(*p, name, message, size, unsuitable)) {
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
    uint32_t decoded = decode(p, buffer + got, count - got);
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
    receive(p, left);
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
  send_bytes(p, bytes, length);
  return p.error ? 0 : static_cast<int32_t>(count);
}

void net_purge(PortHandle port) {
  NetPort& p = *record(port);
  if (p.telnet) {
    const uint8_t both = PURGE_BOTH;
    send_com_port(p, PURGE_DATA, &both, 1);
  }
  // What has come already is dropped, its commands taken.
  // A server that floods is not drained for ever: what it sends later is the engine's to judge.
  uint8_t dropped[256];
  for (int rounds = 0; rounds < 16; ++rounds) {
    while (decode(p, dropped, sizeof dropped)) {
    }
    if (!receive(p, 0)) break;
  }
}

uint32_t net_error(PortHandle port) { return record(port)->error; }
