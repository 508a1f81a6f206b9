#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "stamp/platform.h"

const char PATH_SEPARATORS[] = "/";

int main(int argc, char** argv) {
  // Past a file-size limit a write must fail with its reason, not end the process and leave
  // the temporary file behind.
  signal(SIGXFSZ, SIG_IGN);
  return stamp_main(argc, argv);
}

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

OutKind out_kind(const std::string& path) {
  struct stat node {};
  if (lstat(path.c_str(), &node) != 0) return OutMissing;
  return S_ISREG(node.st_mode) ? OutRegular : S_ISLNK(node.st_mode) ? OutLink : OutOther;
}

namespace {

bool write_all(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool write_replacing(const std::string& path, const std::string& prefix, bool executable,
                     const Bytes& bytes, std::string& error) {
  std::string temporary = prefix + "XXXXXX";
  int fd = mkstemp(&temporary[0]);
  if (fd < 0) {
    error =
        "cannot write " + path + ": cannot create a temporary file beside it: " + strerror(errno);
    return false;
  }
  // An exe, for Wine and for whoever copies it on; a page's file, for the web server to read.
  // mkstemp made it private.
  mode_t mask = umask(0);
  umask(mask);
  int reason = 0;
  if (fchmod(fd, (executable ? 0777 : 0666) & ~mask) != 0 || !write_all(fd, bytes) ||
      fsync(fd) != 0)
    reason = errno;
  if (close(fd) != 0 && !reason) reason = errno;
  if (!reason && rename(temporary.c_str(), path.c_str()) != 0) reason = errno;
  if (reason) {
    unlink(temporary.c_str());
    error = "cannot write " + path + ": " + strerror(reason);
    return false;
  }
  return true;
}

bool folder_make(const std::string& path, std::string& error) {
  struct stat node {};
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    error = path + ": " + strerror(errno);
    return false;
  }
  if (stat(path.c_str(), &node) != 0 || !S_ISDIR(node.st_mode)) {
    error = path + ": not a folder";
    return false;
  }
  return true;
}

void folder_hold(const std::string& path) {
  // Left open: the lock goes with the process, whichever way it ends.
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A file system without locks publishes as before, one run at a time or not.
  while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}
