#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <string>
#include <vector>

#include "cli/console.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

std::wstring wide(const char* text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
  return out;
}

std::string utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

}  // namespace

// The wide entry point (-municode): the ANSI one would turn a name outside the code page into
// question marks before the program saw it.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(utf8(wargv[i]));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  // Messages are UTF-8 like the names in them; a console shows them as such, and gets its own
  // code page back afterwards.
  UINT code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  int status = flash_main(argc, argv.data());
  fflush(stdout);
  fflush(stderr);
  if (code_page) SetConsoleOutputCP(code_page);
  return status;
}

FILE* console_fopen(const char* path, const char* mode) {
  return _wfopen(wide(path).c_str(), wide(mode).c_str());
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
