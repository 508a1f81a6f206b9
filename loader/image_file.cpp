#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "loader/image_load.h"

namespace {

std::string too_large(const std::string& path, bool raw) {
  return "the image " + path + " is larger than the largest " +
         (raw ? "image (" + std::to_string(LOADER_IMAGE_MAX)
              : "image file (" + std::to_string(LOADER_FILE_MAX)) +
         " bytes)";
}

}  // namespace

bool image_read_file(const std::string& path, LoadedImage& image, std::string& error) {
  struct stat node {};
  if (stat(path.c_str(), &node) != 0) {
    error = "cannot read the image " + path + ": " + strerror(errno);
    return false;
  }
  if (S_ISDIR(node.st_mode)) {
    error = "the image " + path + " is a directory";
    return false;
  }
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    error = "cannot read the image " + path + ": " + strerror(errno);
    return false;
  }
  // The first bytes say the format, and with it how much may follow: a file larger than that
  // is refused from its size, an endless device after that many bytes.
  std::vector<uint8_t> bytes(64 * 1024);
  size_t n = fread(bytes.data(), 1, bytes.size(), file);
  bool raw = image_format_of(bytes.data(), n) == ImageRaw;
  size_t limit = raw ? LOADER_IMAGE_MAX : LOADER_FILE_MAX;
  bool oversized = S_ISREG(node.st_mode) && static_cast<uint64_t>(node.st_size) > limit;
  while (!oversized && n == bytes.size()) {
    bytes.resize(n + 64 * 1024);
    n += fread(bytes.data() + n, 1, bytes.size() - n, file);
    oversized = n > limit;
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (oversized) {
    error = too_large(path, raw);
    return false;
  }
  if (failed) {
    error = "cannot read the image " + path;
    return false;
  }
  return image_parse(path, bytes.data(), n, image, error);
}
