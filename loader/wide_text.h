// Text between the UTF-8 the tools work in and the UTF-16 of the Windows wide API: file names
// outside the ANSI code page, and the arguments of a console tool's wide entry point.
#pragma once
#include <cstddef>
#include <string>

std::wstring wide_from_utf8(const std::string& text);
std::string utf8_from_wide(const wchar_t* text, size_t length);
std::string utf8_from_wide(const wchar_t* text);

// The body of a console tool's wmain (-municode): the ANSI entry point would turn a name outside
// the code page into question marks before the tool saw it. run_utf8 gets the arguments in
// UTF-8, and the console shows its UTF-8 messages as such; its own code page comes back after.
int run_with_utf8_arguments(int argc, wchar_t** wargv, int (*run_utf8)(int, char**));
