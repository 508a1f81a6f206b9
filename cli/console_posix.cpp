#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/console.h"

int main(int argc, char** argv) { return flash_main(argc, argv); }

FILE* console_fopen(const char* path, const char* mode) { return fopen(path, mode); }

void console_prepare() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // An open takes the lowest free descriptor: this one, since those below it are valid by now.
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) break;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void console_truncate(FILE* file, long size) {
  if (ftruncate(fileno(file), size) != 0) return;  // then the partial line stays: nothing to do
}

bool console_live() { return isatty(fileno(stdout)); }

int console_width() {
  winsize size{};
  if (ioctl(fileno(stdout), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void console_on_stop(void (*on_stop)(int)) {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}
