// The engine's byte channel, handed to the kind of port each handle is: local or network.
#include "serial/channel.h"

#include <cstdio>
#include <cstring>

#include "serial/net.h"
#include "serial/serial.h"
#include "serial/socket.h"

namespace {

bool is_net(PortHandle port) { return static_cast<ChannelHead*>(port)->kind == CHANNEL_NET; }

}  // namespace

#ifdef _WIN32
const char SERIAL_NAME_FORMS[] =
    "a port is COM1 to COM998 (\\\\.\\COM12 too), rfc2217://HOST:PORT or tcp://HOST:PORT "
    "(HOST a name or an address, IPv6 in brackets: [::1]; PORT 1 to 65535)";
#else
const char SERIAL_NAME_FORMS[] =
    "a port is a device (/dev/ttyUSB0), rfc2217://HOST:PORT or tcp://HOST:PORT (HOST a name "
    "or an address, IPv6 in brackets: [::1]; PORT 1 to 65535)";
#endif

PortHandle serial_open(const char* name, char* message, size_t size, uint32_t connect_ms,
                       bool& unsuitable) {
  NetName net;
  switch (net_name_parse(name, net)) {
    case NetUrl: return net_open(net, name, connect_ms, message, size, unsuitable);
    case NetBadUrl:
      snprintf(message, size, "not a port name: %s (%s)", name, SERIAL_NAME_FORMS);
      return PORT_INVALID;
    default: return local_open(name, message, size);
  }
}

void serial_close(PortHandle port) {
  if (port == PORT_INVALID || !port) return;
  if (is_net(port))
    net_close(port);
  else
    local_close(port);
}

int32_t port_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  return is_net(port) ? net_read(port, buffer, count) : local_read(port, buffer, count);
}

int32_t port_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  return is_net(port) ? net_write(port, buffer, count) : local_write(port, buffer, count);
}

void port_purge(PortHandle port) {
  if (is_net(port))
    net_purge(port);
  else
    local_purge(port);
}

uint32_t port_error(PortHandle port) { return is_net(port) ? net_error(port) : local_error(port); }

void serial_error_text(uint32_t code, char* text, size_t size) {
  if (code == CHANNEL_CLOSED)
    snprintf(text, size,
             "connection lost: the server closed it, or gave the port to another client");
  else
    local_error_text(code, text, size);
}

bool serial_port_key(const char* name, char* key, size_t size) {
  NetName net;
  switch (net_name_parse(name, net)) {
    case NetBadUrl: return false;
    case NetUrl: {
      // Both forms reach one server port: the same device, whatever the scheme.
      char address[256];
      socket_address_key(net.host.c_str(), address, sizeof address);
      snprintf(key, size, "net %s port %u", address, static_cast<unsigned>(net.port));
      return true;
    }
    default: return local_port_key(name, key, size);
  }
}

bool serial_is_network(const char* name) { return strstr(name, "://") != nullptr; }
