#include <windows.h>

#include <csignal>

#include "cli/console.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool console_live() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;  // redirected: plain lines
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void console_on_stop(void (*on_stop)(int)) {
  signal(SIGINT, on_stop);
  signal(SIGTERM, on_stop);
  signal(SIGBREAK, on_stop);
}
