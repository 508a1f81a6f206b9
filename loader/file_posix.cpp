#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "loader/file_access.h"

namespace {

void from_stat(const struct stat& node, FileState& state) {
  state.directory = S_ISDIR(node.st_mode);
  state.regular = S_ISREG(node.st_mode);
  state.size = static_cast<uint64_t>(node.st_size);
  state.modified = static_cast<uint64_t>(node.st_mtim.tv_sec) * 1000000000u +
                   static_cast<uint64_t>(node.st_mtim.tv_nsec);
  state.changed = static_cast<uint64_t>(node.st_ctim.tv_sec) * 1000000000u +
                  static_cast<uint64_t>(node.st_ctim.tv_nsec);
}

}  // namespace

bool file_state(const std::string& path, FileState& state, std::string& reason) {
  struct stat node {};
  if (stat(path.c_str(), &node) != 0) {
    reason = strerror(errno);
    return false;
  }
  from_stat(node, state);
  return true;
}

bool file_state_open(FILE* file, FileState& state) {
  struct stat node {};
  if (fstat(fileno(file), &node) != 0) return false;
  from_stat(node, state);
  return true;
}

FILE* file_open_read(const std::string& path, std::string& reason) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) reason = strerror(errno);
  return file;
}
