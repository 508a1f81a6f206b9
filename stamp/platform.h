// What quarv-stamp needs of the file system beyond the C library, per platform.
#pragma once
#include <string>

// The directory of the running executable, for the template beside it.
std::string executable_directory(const char* argv0);

// Whether both paths name one existing file (a link or another spelling included).
bool same_file(const std::string& a, const std::string& b);

// Puts the finished file from in place of to in one step; false with the reason.
bool replace_file(const std::string& from, const std::string& to, std::string& error);
