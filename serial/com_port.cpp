// The Telnet COM Port Control Option (RFC 2217 on RFC 854, 856 and 858) of a network port:
// option negotiation, the line settings and the server's answers to them.
#include <cstdio>
#include <string>

#include "diag/trace.h"
#include "engine/clock.h"
#include "serial/net.h"
#include "serial/net_port.h"
#include "serial/serial.h"

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

enum : uint32_t { EARLY_TEXT = 80 };

bool wanted_ours(uint8_t option) {
  return option == TELNET_BINARY || option == TELNET_SGA || option == TELNET_COM_PORT;
}
bool wanted_theirs(uint8_t option) { return option == TELNET_BINARY || option == TELNET_SGA; }

void send_option(NetPort& p, uint8_t verb, uint8_t option) {
  const uint8_t bytes[] = {TELNET_IAC, verb, option};
  net_send(p, bytes, sizeof bytes);
}

// IAC SB COM-PORT-OPTION command value IAC SE, the value's 0xFF bytes doubled.
void send_com_port(NetPort& p, uint8_t command, const uint8_t* value, uint32_t length) {
  uint8_t bytes[16] = {TELNET_IAC, TELNET_SB, TELNET_COM_PORT, command};
  uint32_t at = 4 + telnet_escape(value, length, bytes + 4);
  bytes[at++] = TELNET_IAC;
  bytes[at++] = TELNET_SE;
  net_send(p, bytes, at);
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

const char* parity_name(int64_t parity) {
  static const char* const names[] = {"asked for", "none", "odd", "even", "mark", "space"};
  return parity >= 0 && parity <= 5 ? names[parity] : "unknown";
}

}  // namespace

// The answers of RFC 854's option negotiation, without loops: an option already in the state
// asked for, or refused once, is not answered again.
void com_port_take(NetPort& p, const TelnetCommand& command) {
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

// The line settings, and the server's answers: true once it has taken them all, false with a
// message when it will not (unsuitable set) or does not answer within NET_SET_UP_MS.
bool com_port_set_up(NetPort& p, const char* name, char* message, size_t size, bool& unsuitable) {
  send_option(p, TELNET_WILL, TELNET_BINARY);
  send_option(p, TELNET_DO, TELNET_BINARY);
  send_option(p, TELNET_WILL, TELNET_SGA);
  send_option(p, TELNET_DO, TELNET_SGA);
  send_option(p, TELNET_WILL, TELNET_COM_PORT);
  const uint32_t start = tick_count();
  uint8_t data[256];
  while (p.error == 0 && !p.refused && !socket_stopped() && tick_count() - start < NET_SET_UP_MS) {
    uint32_t got = net_decode(p, data, sizeof data);
    for (uint32_t i = 0; i < got && p.early.size() < EARLY_TEXT; ++i)
      p.early += static_cast<char>(data[i] >= 0x20 && data[i] < 0x7f ? data[i] : ' ');
    if (p.com_port && !p.settings_sent) send_settings(p);
    if (p.baud >= 0 && p.size >= 0 && p.parity >= 0 && p.stop >= 0) break;
    uint32_t spent = tick_count() - start;
    if (p.raw_at == p.raw_end && spent < NET_SET_UP_MS) net_receive(p, NET_SET_UP_MS - spent);
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

void com_port_purge(NetPort& p) {
  const uint8_t both = PURGE_BOTH;
  send_com_port(p, PURGE_DATA, &both, 1);
}
