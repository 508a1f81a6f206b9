#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <string>
#include <vector>

#include "cli/console.h"
#include "loader/wide_text.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// The tool's entry point on Windows: its arguments as UTF-8, whatever the code page.
int wmain(int argc, wchar_t** wargv) { return run_with_utf8_arguments(argc, wargv, flash_main); }

FILE* console_fopen(const char* path, const char* mode) {
  return _wfopen(wide_from_utf8(path).c_str(), wide_from_utf8(mode).c_str());
}

void console_prepare() {
  // A process started without standard handles has no C descriptors 0 to 2: the log would
  // take one of them.
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1) continue;
    int null = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (null >= 0 && null != fd) {
      _dup2(null, fd);  // the C library may not hand out the lowest free descriptor
      _close(null);
    }
  }
}

void console_truncate(FILE* file, long size) { _chsize(_fileno(file), size); }

bool console_live() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;  // redirected: plain lines
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int console_width() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void console_on_stop(void (*on_stop)(int)) {
  signal(SIGINT, on_stop);
  signal(SIGTERM, on_stop);
  signal(SIGBREAK, on_stop);
}
