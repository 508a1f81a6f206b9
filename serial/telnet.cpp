#include "serial/telnet.h"

namespace {

enum : uint8_t { InData, AfterIac, AwaitOption, AwaitSubOption, InSub, InSubIac };

// The byte after an IAC outside a subnegotiation.
TelnetTake after_iac(TelnetReader& reader, uint8_t byte, uint8_t& data, TelnetCommand& command) {
  if (byte == TELNET_IAC) {
    reader.state = InData;
    data = TELNET_IAC;
    return TelnetData;
  }
  if (byte >= TELNET_WILL) {
    reader.verb = byte;
    reader.state = AwaitOption;
    return TelnetMore;
  }
  if (byte == TELNET_SB) {
    reader.state = AwaitSubOption;
    return TelnetMore;
  }
  // Any other command (NOP, GA, a stray SE) stands alone; so does a byte that is no command,
  // which a sound server never sends after IAC: it is not line data either.
  reader.state = InData;
  command = TelnetCommand{byte, 0, nullptr, 0, false};
  return TelnetDone;
}

}  // namespace

TelnetTake telnet_take(TelnetReader& reader, uint8_t byte, uint8_t& data, TelnetCommand& command) {
  switch (reader.state) {
    case AfterIac: return after_iac(reader, byte, data, command);
    case AwaitOption:
      reader.state = InData;
      command = TelnetCommand{reader.verb, byte, nullptr, 0, false};
      return TelnetDone;
    case AwaitSubOption:
      reader.option = byte;
      reader.sub_length = 0;
      reader.sub_cut = false;
      reader.state = InSub;
      return TelnetMore;
    case InSub:
    case InSubIac:
      if (reader.state == InSub && byte == TELNET_IAC) {
        reader.state = InSubIac;
        return TelnetMore;
      }
      if (reader.state == InSubIac && byte == TELNET_SE) {
        reader.state = InData;
        command =
            TelnetCommand{TELNET_SB, reader.option, reader.sub, reader.sub_length, reader.sub_cut};
        return TelnetDone;
      }
      if (reader.state == InSubIac && byte != TELNET_IAC) {
        // IAC and a command inside a subnegotiation: the server broke it off. Dropped
        // unread; the command is taken as it would be outside.
        return after_iac(reader, byte, data, command);
      }
      reader.state = InSub;
      if (reader.sub_length < TELNET_SUB_MAX)
        reader.sub[reader.sub_length++] = byte;
      else
        reader.sub_cut = true;
      return TelnetMore;
    default:
      if (byte == TELNET_IAC) {
        reader.state = AfterIac;
        return TelnetMore;
      }
      reader.state = InData;
      data = byte;
      return TelnetData;
  }
}

uint32_t telnet_escape(const uint8_t* data, uint32_t count, uint8_t* out) {
  uint32_t length = 0;
  for (uint32_t i = 0; i < count; ++i) {
    out[length++] = data[i];
    if (data[i] == TELNET_IAC) out[length++] = TELNET_IAC;
  }
  return length;
}
