#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "loader/wide_text.h"

std::wstring wide_from_utf8(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string utf8_from_wide(const wchar_t* text, size_t length) {
  int wide_length = static_cast<int>(length);
  int n = WideCharToMultiByte(CP_UTF8, 0, text, wide_length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, wide_length, &out[0], n, nullptr, nullptr);
  return out;
}

std::string utf8_from_wide(const wchar_t* text) { return utf8_from_wide(text, wcslen(text)); }

int run_with_utf8_arguments(int argc, wchar_t** wargv, int (*run_utf8)(int, char**)) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(utf8_from_wide(wargv[i]));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  UINT code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  int status = run_utf8(argc, argv.data());
  fflush(stdout);
  fflush(stderr);
  if (code_page) SetConsoleOutputCP(code_page);
  return status;
}
