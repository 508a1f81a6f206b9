#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "cli/flash.h"
#include "engine/image.h"

bool read_image_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
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
  uint8_t chunk[65536];
  size_t n = 0;
  bytes.clear();
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0 && bytes.size() <= IMAGE_LENGTH_MAX)
    bytes.insert(bytes.end(), chunk, chunk + n);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    error = "cannot read the image " + path;
  } else if (bytes.empty()) {
    // One block of zeros over the vector table would leave a device that cannot start.
    error = "the image " + path + " is empty";
  } else if (bytes.size() > IMAGE_LENGTH_MAX) {
    error = "the image " + path + " is too large";
  }
  return error.empty();
}
