#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "cli/console.h"

bool console_live() { return isatty(fileno(stdout)); }

void console_on_stop(void (*on_stop)(int)) {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
