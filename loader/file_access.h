// The loader's view of the file system, per platform. Names are UTF-8 everywhere; Windows opens
// them through its wide API, so a name outside the ANSI code page works.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

struct FileState {
  bool directory = false;
  bool regular = false;
  uint64_t size = 0;
  // Changes with every write to the file (modification and change times, to the nanosecond
  // where the system keeps them).
  uint64_t modified = 0, changed = 0;
};

// False with the system's reason when the name cannot be looked up.
bool file_state(const std::string& path, FileState& state, std::string& reason);
bool file_state_open(FILE* file, FileState& state);
// Opened for reading in binary mode; null with the reason.
FILE* file_open_read(const std::string& path, std::string& reason);
