// Winsock (ws2_32, a system DLL on every Windows) for the network channel.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

#include "engine/clock.h"
#include "serial/socket.h"

namespace {

bool started() {
  static const bool ok = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}

void words(int code, char* text, size_t size) {
  char buffer[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == '.'))
    buffer[--n] = '\0';
  if (n)
    snprintf(text, size, "%s, error %d", buffer, code);
  else
    snprintf(text, size, "error %d", code);
}

// select, not WSAPoll: WSAPoll on Windows before 10 2004 never reports a refused connect, so
// a refused server would look like one that does not answer. 1 ready, 0 not within wait_ms;
// a failed connect shows in the exception set, and counts as ready.
// In slices, each a look at the stop flag, which the console's handler sets on a thread of its
// own: nothing interrupts a select here.
int wait_for(SOCKET socket, bool writing, uint32_t wait_ms) {
  const uint32_t start = tick_count();
  for (uint32_t slice; (slice = socket_wait_slice(start, wait_ms)) > 0;) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval limit{0, static_cast<long>(slice * 1000)};
    int n = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &failed, &limit);
    if (n != 0) return n > 0 ? 1 : n;
  }
  return 0;
}

// One address within wait_ms: 0, or the Winsock error of the failure.
int connect_one(SOCKET socket, const addrinfo& address, uint32_t wait_ms) {
  if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return WSAGetLastError();
  int polled = wait_for(socket, true, wait_ms);
  if (polled == 0) return WSAETIMEDOUT;
  if (polled < 0) return WSAGetLastError();
  int code = 0;
  int length = sizeof code;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length) != 0)
    return WSAGetLastError();
  return code;
}

}  // namespace

SocketId socket_connect(const char* host, uint16_t port, uint32_t timeout_ms, char* why,
                        size_t size) {
  if (!started()) {
    snprintf(why, size, "Winsock cannot be started");
    return SOCKET_NONE;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  char service[8];
  snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* found = nullptr;
  int looked = getaddrinfo(host, service, &hints, &found);
  char text[256];
  if (looked != 0) {
    words(looked, text, sizeof text);
    snprintf(why, size, "unknown host %s (%s)", host, text);
    return SOCKET_NONE;
  }
  const uint32_t start = tick_count();
  int code = WSAETIMEDOUT;
  SOCKET socket = INVALID_SOCKET;
  for (addrinfo* address = found; address; address = address->ai_next) {
    uint32_t spent = tick_count() - start;
    if (spent >= timeout_ms) break;
    socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket == INVALID_SOCKET) {
      code = WSAGetLastError();
      continue;
    }
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
    code = connect_one(socket, *address, timeout_ms - spent);
    if (code == 0) break;
    closesocket(socket);
    socket = INVALID_SOCKET;
  }
  freeaddrinfo(found);
  if (socket == INVALID_SOCKET) {
    words(code, text, sizeof text);
    if (code == WSAETIMEDOUT)
      snprintf(why, size, "no answer from %s port %u within %u s (%s)", host,
               static_cast<unsigned>(port), static_cast<unsigned>((timeout_ms + 999) / 1000), text);
    else
      snprintf(why, size, "cannot connect to %s port %u (%s)", host, static_cast<unsigned>(port),
               text);
    return SOCKET_NONE;
  }
  BOOL no_delay = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
             sizeof no_delay);
  return static_cast<SocketId>(socket);
}

void socket_close(SocketId socket) {
  if (socket != SOCKET_NONE) closesocket(static_cast<SOCKET>(socket));
}

uint32_t socket_send(SocketId id, const uint8_t* bytes, uint32_t count) {
  SOCKET socket = static_cast<SOCKET>(id);
  uint32_t put = 0;
  while (put < count) {
    int n =
        send(socket, reinterpret_cast<const char*>(bytes + put), static_cast<int>(count - put), 0);
    if (n > 0) {
      put += static_cast<uint32_t>(n);
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
      if (wait_for(socket, true, SOCKET_SEND_MS) == 0) return WSAETIMEDOUT;
    } else {
      return static_cast<uint32_t>(WSAGetLastError());
    }
  }
  return 0;
}

int32_t socket_receive(SocketId id, uint8_t* buffer, uint32_t size, uint32_t wait_ms,
                       uint32_t& error) {
  SOCKET socket = static_cast<SOCKET>(id);
  int polled = wait_for(socket, false, wait_ms);
  if (polled == 0) return 0;
  int n =
      polled < 0 ? -1 : recv(socket, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n > 0) return n;
  if (n == 0) return SOCKET_CLOSED;
  if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  error = static_cast<uint32_t>(WSAGetLastError());
  return SOCKET_FAILED;
}

void socket_address_key(const char* host, char* key, size_t size) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char address[NI_MAXHOST];
  if (started() && getaddrinfo(host, nullptr, &hints, &found) == 0 &&
      getnameinfo(found->ai_addr, static_cast<socklen_t>(found->ai_addrlen), address,
                  sizeof address, nullptr, 0, NI_NUMERICHOST) == 0)
    snprintf(key, size, "%s", address);
  else
    snprintf(key, size, "%s", host);
  if (found) freeaddrinfo(found);
}
