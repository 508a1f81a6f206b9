#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "engine/clock.h"
#include "serial/socket.h"

namespace {

// In slices, each a look at the stop flag; a signal that interrupts one does not restart the
// whole wait.
int wait_for(int fd, short events, uint32_t wait_ms) {
  const uint32_t start = tick_count();
  for (uint32_t slice; (slice = socket_wait_slice(start, wait_ms)) > 0;) {
    pollfd ready{fd, events, 0};
    int polled = poll(&ready, 1, static_cast<int>(slice));
    if (polled > 0 || (polled < 0 && errno != EINTR)) return polled;
  }
  return 0;
}

// One address within wait_ms: 0, or errno of the failure.
int connect_one(int fd, const addrinfo& address, uint32_t wait_ms) {
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  if (wait_for(fd, POLLOUT, wait_ms) <= 0) return ETIMEDOUT;
  int code = 0;
  socklen_t length = sizeof code;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0) return errno;
  return code;
}

}  // namespace

SocketId socket_connect(const char* host, uint16_t port, uint32_t timeout_ms, char* why,
                        size_t size) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  char service[8];
  snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* found = nullptr;
  int looked = getaddrinfo(host, service, &hints, &found);
  if (looked != 0) {
    snprintf(why, size, "unknown host %s (%s)", host,
             looked == EAI_SYSTEM ? strerror(errno) : gai_strerror(looked));
    return SOCKET_NONE;
  }
  const uint32_t start = tick_count();
  int code = ETIMEDOUT;
  int fd = -1;
  for (addrinfo* address = found; address; address = address->ai_next) {
    uint32_t spent = tick_count() - start;
    if (spent >= timeout_ms) break;
    fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) {
      code = errno;
      continue;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    code = connect_one(fd, *address, timeout_ms - spent);
    if (code == 0) break;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  if (fd < 0) {
    if (code == ETIMEDOUT)
      snprintf(why, size, "no answer from %s port %u within %u s (%s)", host,
               static_cast<unsigned>(port), static_cast<unsigned>((timeout_ms + 999) / 1000),
               strerror(code));
    else
      snprintf(why, size, "cannot connect to %s port %u (%s)", host, static_cast<unsigned>(port),
               strerror(code));
    return SOCKET_NONE;
  }
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

void socket_close(SocketId socket) {
  if (socket != SOCKET_NONE) close(static_cast<int>(socket));
}

uint32_t socket_send(SocketId socket, const uint8_t* bytes, uint32_t count) {
  int fd = static_cast<int>(socket);
  uint32_t put = 0;
  while (put < count) {
    // No SIGPIPE from a server gone: the error says it.
    ssize_t n = send(fd, bytes + put, count - put, MSG_NOSIGNAL);
    if (n > 0) {
      put += static_cast<uint32_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(fd, POLLOUT, SOCKET_SEND_MS) == 0) return ETIMEDOUT;
    } else if (n < 0 && errno != EINTR) {
      return static_cast<uint32_t>(errno);
    }
  }
  return 0;
}

int32_t socket_receive(SocketId socket, uint8_t* buffer, uint32_t size, uint32_t wait_ms,
                       uint32_t& error) {
  int fd = static_cast<int>(socket);
  int polled = wait_for(fd, POLLIN, wait_ms);
  if (polled == 0) return 0;
  ssize_t n = polled < 0 ? -1 : recv(fd, buffer, size, 0);
  if (n > 0) return static_cast<int32_t>(n);
  if (n == 0) return SOCKET_CLOSED;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  error = static_cast<uint32_t>(errno);
  return SOCKET_FAILED;
}

void socket_address_key(const char* host, char* key, size_t size) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char address[NI_MAXHOST];
  if (getaddrinfo(host, nullptr, &hints, &found) == 0 &&
      getnameinfo(found->ai_addr, found->ai_addrlen, address, sizeof address, nullptr, 0,
                  NI_NUMERICHOST) == 0)
    snprintf(key, size, "%s", address);
  else
    snprintf(key, size, "%s", host);
  if (found) freeaddrinfo(found);
}
