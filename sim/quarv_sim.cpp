// quarv-sim: a Quarv bootloader on a pseudo-terminal, until SIGINT or SIGTERM.
#include "sim/quarv_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t power_requested = 0;

void on_stop(int) { stop_requested = 1; }
void on_power(int) { power_requested = 1; }

uint64_t monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

struct Pty {
  int master = -1;
  int slave = -1;  // held open so the master never sees a hang-up between the tool's opens
  std::string path;
};

bool open_pty(Pty& pty) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) return false;
  const char* name = ptsname(pty.master);
  if (name == nullptr) return false;
  pty.path = name;
  pty.slave = open(name, O_RDWR | O_NOCTTY);
  if (pty.slave < 0) return false;
  // Raw both ways: no echo, no line discipline, every byte as sent.
  termios raw{};
  if (tcgetattr(pty.slave, &raw) != 0) return false;
  cfmakeraw(&raw);
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  raw.c_cflag |= PARENB;
  return tcsetattr(pty.slave, TCSANOW, &raw) == 0;
}

// Only a stale link of an earlier run may be replaced: never a user's file or directory.
bool exists_as_other_than_link(const std::string& link) {
  struct stat found {};
  return lstat(link.c_str(), &found) == 0 && !S_ISLNK(found.st_mode);
}

// Replaces the stale link at link, if any, with a symlink to target, atomically.
bool make_link(const std::string& target, const std::string& link) {
  std::string temporary = link + ".quarv-sim." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) return false;
  if (rename(temporary.c_str(), link.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

// Removes the link only while it still points at our pty: someone may have relinked it.
void remove_link(const std::string& target, const std::string& link) {
  char now[4096];
  ssize_t n = readlink(link.c_str(), now, sizeof now - 1);
  if (n < 0) return;
  now[n] = '\0';
  if (target == now) unlink(link.c_str());
}

bool write_file(FILE* file, const std::vector<uint8_t>& bytes) {
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

// An output file named on the command line, opened at start so that a path that cannot be
// written is refused before anything is made.
bool open_output(const std::string& path, FILE*& file) {
  if (path.empty()) return true;
  file = std::fopen(path.c_str(), "wb");
  if (file != nullptr) return true;
  std::fprintf(stderr, "quarv-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

struct Session {
  SimOptions options;
  Pty pty;
  SimWire wire;
  SimDevice device;
  FILE* log = nullptr;
  FILE* dump = nullptr;
  size_t logged = 0;
  uint64_t origin_us = 0;
  bool outbound_blocked = false;
};

uint64_t now_of(const Session& s) { return monotonic_us() - s.origin_us; }

void flush_log(Session& s) {
  if (s.log == nullptr) return;
  for (; s.logged < s.device.log.size(); ++s.logged)
    std::fprintf(s.log, "%s\n", sim_log_json(s.device.log[s.logged]).c_str());
  std::fflush(s.log);
}

void pump_in(Session& s) {
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = read(s.pty.master, buffer, sizeof buffer);
    if (n <= 0) return;
    uint64_t now = now_of(s);
    wire_receive(s.wire, buffer, static_cast<size_t>(n), now);
    // Without pacing the bytes have arrived already: the device takes them before the next read.
    wire_deliver(s.wire, s.device, now);
  }
}

void pump_out(Session& s) {
  std::vector<uint8_t> due;
  uint64_t now = now_of(s);
  wire_take_due(s.wire, now, due);
  if (due.empty()) return;
  ssize_t n = write(s.pty.master, due.data(), due.size());
  size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
  // A full pty queue (the tool is not reading) keeps the rest for later, in order.
  s.outbound_blocked = sent < due.size();
  if (s.outbound_blocked) wire_unsend(s.wire, due.data() + sent, due.size() - sent, now);
}

// To the microsecond: a wait rounded up to whole milliseconds handed each reply over up to a
// millisecond after its last byte would have crossed the line.
uint64_t poll_timeout_us(const Session& s) {
  uint64_t next = wire_next_due(s.wire);
  if (next == UINT64_MAX) return 1000000;
  uint64_t now = now_of(s);
  if (next <= now) return 0;
  return next - now > 1000000 ? 1000000 : next - now;
}

void run(Session& s, const sigset_t& unblocked) {
  while (!stop_requested) {
    if (power_requested && s.device.faults.wait_for_power) {
      sim_device_power_on(s.device, now_of(s));
      std::fprintf(stderr, "quarv-sim: powered on\n");
    }
    pollfd fd{s.pty.master, POLLIN, 0};
    uint64_t timeout = poll_timeout_us(s);
    // While the tool is not reading, wait for room instead of spinning on due bytes.
    if (s.outbound_blocked) {
      fd.events |= POLLOUT;
      if (timeout < 10000) timeout = 10000;
    }
    timespec wait{static_cast<time_t>(timeout / 1000000),
                  static_cast<long>(timeout % 1000000) * 1000L};
    int ready = ppoll(&fd, 1, &wait, &unblocked);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (fd.revents & POLLIN)) pump_in(s);
    wire_deliver(s.wire, s.device, now_of(s));
    pump_out(s);
    flush_log(s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(sim_usage(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("quarv-sim " QUARV_VERSION);
      return 0;
    }
  }
  Session s;
  std::string error;
  if (!sim_parse_options(argc, argv, s.options, error)) {
    std::fprintf(stderr, "quarv-sim: %s\n\n%s", error.c_str(), sim_usage());
    return 2;
  }
  SimFaults faults = s.options.faults;
  faults.wait_for_power = s.options.power_on_signal;
  faults.power_on_us = uint64_t{s.options.power_off_ms} * 1000;
  sim_device_init(s.device, s.options.flash_size, faults);
  s.wire.pacing = s.options.pacing;

  // Signals are only taken inside ppoll, so none slips in between a check and the wait.
  sigset_t blocked;
  sigset_t unblocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, &unblocked);
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = on_power;
  sigaction(SIGUSR1, &action, nullptr);

  if (exists_as_other_than_link(s.options.link)) {
    std::fprintf(stderr, "quarv-sim: %s exists and is not a symbolic link: not replacing it\n",
                 s.options.link.c_str());
    return 1;
  }
  if (!open_output(s.options.log, s.log) || !open_output(s.options.dump, s.dump)) return 1;
  if (!open_pty(s.pty)) {
    std::fprintf(stderr, "quarv-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  if (!make_link(s.pty.path, s.options.link)) {
    std::fprintf(stderr, "quarv-sim: cannot link %s: %s\n", s.options.link.c_str(),
                 std::strerror(errno));
    return 1;
  }
  s.origin_us = monotonic_us();
  std::fprintf(stderr, "quarv-sim: %s at %s\n", s.pty.path.c_str(), s.options.link.c_str());

  run(s, unblocked);

  remove_link(s.pty.path, s.options.link);
  sim_device_advance(s.device, now_of(s));
  int status = 0;
  flush_log(s);
  if (s.log != nullptr) {
    std::fprintf(s.log, "%s\n", sim_exit_json(s.device).c_str());
    if (std::fclose(s.log) != 0) status = 1;
  }
  if (s.dump != nullptr && !write_file(s.dump, s.device.flash)) {
    std::fprintf(stderr, "quarv-sim: cannot write %s\n", s.options.dump.c_str());
    status = 1;
  }
  close(s.pty.slave);
  close(s.pty.master);
  return status;
}
