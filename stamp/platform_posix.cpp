#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "stamp/platform.h"

std::string executable_directory(const char* argv0) {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(argv0);
  size_t slash = self.find_last_of('/');
  return slash == std::string::npos ? "." : self.substr(0, slash);
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool replace_file(const std::string& from, const std::string& to, std::string& error) {
  // An exe, for Wine and for whoever copies it on.
  mode_t mask = umask(0);
  umask(mask);
  chmod(from.c_str(), 0777 & ~mask);
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  error = strerror(errno);
  return false;
}
