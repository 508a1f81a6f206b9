#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "loader/file_access.h"
#include "loader/wide_text.h"

namespace {

uint64_t ticks(const FILETIME& time) {
  return uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

}  // namespace

bool file_state(const std::string& path, FileState& state, std::string& reason) {
  struct _stat64 node {};
  if (_wstat64(wide_from_utf8(path).c_str(), &node) != 0) {
    reason = strerror(errno);
    return false;
  }
  state.directory = (node.st_mode & _S_IFMT) == _S_IFDIR;
  state.regular = (node.st_mode & _S_IFMT) == _S_IFREG;
  state.size = static_cast<uint64_t>(node.st_size);
  state.modified = state.changed = static_cast<uint64_t>(node.st_mtime);
  return true;
}

bool file_state_open(FILE* file, FileState& state) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) {
    // A console or a pipe: nothing to compare.
    state = FileState{};
    return true;
  }
  state.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  state.regular = GetFileType(handle) == FILE_TYPE_DISK && !state.directory;
  state.size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  state.modified = ticks(info.ftLastWriteTime);
  state.changed = state.modified;
  return true;
}

FILE* file_open_read(const std::string& path, std::string& reason) {
  FILE* file = _wfopen(wide_from_utf8(path).c_str(), L"rb");
  if (!file) reason = strerror(errno);
  return file;
}
