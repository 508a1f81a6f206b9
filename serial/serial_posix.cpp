// POSIX termios only (plus the exclusive-use ioctl and advisory lock where the system has
// them), so that the same file serves Linux and macOS.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#if __has_include(<sys/file.h>)
#include <sys/file.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/frame.h"
#include "serial/channel.h"
#include "serial/serial.h"

namespace {

struct SerialPort {
  uint32_t kind;  // CHANNEL_LOCAL
  int fd;
  uint32_t error;  // errno of the first read or write that failed outright
};

SerialPort* record(PortHandle port) { return static_cast<SerialPort*>(port); }

uint64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void fail(SerialPort* port, int code) {
  if (port->error == 0) port->error = static_cast<uint32_t>(code ? code : EIO);
}

bool set_line(int fd) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) return false;
  line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY | INPCK);
  line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB);
#ifdef CRTSCTS
  line.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  // Even parity goes out; received bytes are not checked for it (INPCK off), as in the dialog.
  line.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
  if (cfsetispeed(&line, B115200) != 0 || cfsetospeed(&line, B115200) != 0) return false;
  // Judged by what the port took, not by the call's result: a pseudo-terminal has no line and
  // drops the parity bit, which the C library then reports as a failure of the whole call.
  tcsetattr(fd, TCSANOW, &line);
  termios took{};
  if (tcgetattr(fd, &took) != 0 || cfgetospeed(&took) != B115200 || (took.c_cflag & CSIZE) != CS8 ||
      (took.c_lflag & ICANON))
    return false;
#ifdef TIOCMBIC
  // The adapter's DTR and RTS may be wired to the target's reset or boot pins: hold them off.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
#endif
  return true;
}

// The controlling terminal (whatever name reaches it: /dev/tty, its own /dev/pts/N) or the
// terminal of a standard stream: setting it up as a port would take the user's keyboard and
// screen, and send frames to them.
bool is_own_terminal(int fd) {
  pid_t session = tcgetsid(fd);
  if (session != -1 && session == getsid(0)) return true;
  struct stat port {};
  if (fstat(fd, &port) != 0 || !S_ISCHR(port.st_mode)) return false;
  for (int stream = 0; stream <= 2; ++stream) {
    struct stat other {};
    if (isatty(stream) && fstat(stream, &other) == 0 && other.st_rdev == port.st_rdev) return true;
  }
  return false;
}

std::string format(const char* pattern, const char* name, const char* detail = "") {
  char text[1024];
  snprintf(text, sizeof text, pattern, name, detail);
  return text;
}

}  // namespace

PortHandle local_open(const char* name, char* message, size_t size) {
  std::string why;
  struct stat node {};
  if (stat(name, &node) != 0) {
    why = format("%s: no such port (%s)", name, strerror(errno));
  } else if (S_ISDIR(node.st_mode)) {
    why = format("%s is a directory, not a serial port", name);
  }
  int fd = -1;
  if (why.empty()) {
    // Non-blocking, so that an open never waits for a modem's carrier.
    fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 && (errno == EBUSY || errno == EACCES || errno == EPERM))
      why = format("%s is busy or not allowed (%s): is another program using it?", name,
                   strerror(errno));
    else if (fd < 0)
      why = format("%s cannot be opened (%s)", name, strerror(errno));
  }
  if (why.empty() && is_own_terminal(fd))
    why = format("%s is the terminal quarv-flash runs in, not a port to flash through", name);
#ifdef LOCK_EX
  if (why.empty() && flock(fd, LOCK_EX | LOCK_NB) != 0)
    why = format(
        "%s is busy: another program holds its lock (a second quarv-flash, a terminal, a "
        "modem manager?)",
        name);
#endif
  if (why.empty() && !isatty(fd)) why = format("%s is not a serial port", name);
#ifdef TIOCEXCL
  if (why.empty() && ioctl(fd, TIOCEXCL) != 0)
    why = format("%s is busy: it cannot be held for exclusive use (%s)", name, strerror(errno));
#endif
  if (why.empty() && !set_line(fd))
    why = format("%s cannot be set to 115,200 baud 8E1 (%s)", name, strerror(errno));
  if (!why.empty()) {
    if (fd >= 0) close(fd);
    snprintf(message, size, "%s", why.c_str());
    return PORT_INVALID;
  }
  tcflush(fd, TCIOFLUSH);
  return new SerialPort{CHANNEL_LOCAL, fd, 0};
}

void local_close(PortHandle port) {
  if (port == PORT_INVALID || !port) return;
#ifdef TIOCNXCL
  // Another holder of the device (quarv-sim keeps its own end open) would keep it exclusive.
  ioctl(record(port)->fd, TIOCNXCL);
#endif
  close(record(port)->fd);  // the lock goes with the descriptor
  delete record(port);
}

int32_t local_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  SerialPort* p = record(port);
  const uint64_t start = monotonic_ms();
  uint64_t last_byte = 0;
  uint32_t got = 0;
  while (got < count && p->error == 0) {
    uint64_t now = monotonic_ms();
    uint64_t end = start + SERIAL_READ_TOTAL_MS;
    if (got > 0) end = std::min<uint64_t>(end, last_byte + SERIAL_READ_INTERVAL_MS);
    if (now >= end) break;
    pollfd ready{p->fd, POLLIN, 0};
    int polled = poll(&ready, 1, static_cast<int>(end - now));
    if (polled < 0 && errno != EINTR) fail(p, errno);
    if (polled <= 0) continue;
    if (!(ready.revents & POLLIN)) {
      fail(p, EIO);  // hung up or gone: a pulled adapter
      break;
    }
    ssize_t n = read(p->fd, buffer + got, count - got);
    if (n < 0 && errno != EAGAIN && errno != EINTR) fail(p, errno);
    if (n == 0) fail(p, EIO);  // readable yet empty: the other end is gone
    if (n <= 0) continue;
    got += static_cast<uint32_t>(n);
    last_byte = monotonic_ms();
    if (bytes_are_reply(buffer, static_cast<int32_t>(got))) break;
  }
  return static_cast<int32_t>(got);
}

int32_t local_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  SerialPort* p = record(port);
  uint32_t put = 0;
  while (put < count && p->error == 0) {
    ssize_t n = write(p->fd, buffer + put, count - put);
    if (n > 0) {
      put += static_cast<uint32_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd room{p->fd, POLLOUT, 0};
      // A line that takes nothing for a second is as good as gone.
      if (poll(&room, 1, 1000) == 0) fail(p, ETIMEDOUT);
    } else if (n < 0 && errno != EINTR) {
      fail(p, errno);
    }
  }
  return static_cast<int32_t>(put);
}

void local_purge(PortHandle port) {
  tcflush(record(port)->fd, TCIOFLUSH);
  tcdrain(record(port)->fd);
}

uint32_t local_error(PortHandle port) { return record(port)->error; }

void local_error_text(uint32_t code, char* text, size_t size) {
  snprintf(text, size, "%s", strerror(static_cast<int>(code)));
}

bool local_port_key(const char* name, char* key, size_t size) {
  if (!name || !*name) return false;
  char resolved[PATH_MAX];
  // Two links to one device are one port; a name that does not resolve stands for itself.
  snprintf(key, size, "%s", realpath(name, resolved) ? resolved : name);
  return true;
}
