#include "loader/file_access.h"
#include "loader/image_load.h"

namespace {

std::string too_large(const std::string& path, bool raw) {
  return "the image " + path + " is larger than the largest " +
         (raw ? "image (" + std::to_string(LOADER_IMAGE_MAX)
              : "image file (" + std::to_string(LOADER_FILE_MAX)) +
         " bytes)";
}

// A file still being written (a build copying it, a download) must not go out as the part that
// existed: its size, or its times, move while it is read.
bool changed(const FileState& before, const FileState& after, size_t bytes_read) {
  if (!before.regular) return false;
  return after.size != before.size || after.modified != before.modified ||
         after.changed != before.changed || (before.size != 0 && bytes_read != before.size);
}

}  // namespace

bool image_read_contents(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  FileState node, opened, after;
  std::string reason;
  if (!file_state(path, node, reason)) {
    error = "cannot read the image " + path + ": " + reason;
    return false;
  }
  if (node.directory) {
    error = "the image " + path + " is a directory";
    return false;
  }
  FILE* file = file_open_read(path, reason);
  if (!file) {
    error = "cannot read the image " + path + ": " + reason;
    return false;
  }
  if (!file_state_open(file, opened)) opened = node;
  // The first bytes say the format, and with it how much may follow: a file larger than that
  // is refused from its size, an endless device after that many bytes.
  bytes.assign(64 * 1024, 0);
  size_t n = fread(bytes.data(), 1, bytes.size(), file);
  bool raw = image_format_of(bytes.data(), n) == ImageRaw;
  size_t limit = raw ? LOADER_IMAGE_MAX : LOADER_FILE_MAX;
  bool oversized = opened.regular && opened.size > limit;
  while (!oversized && n == bytes.size()) {
    bytes.resize(n + 64 * 1024);
    n += fread(bytes.data() + n, 1, bytes.size() - n, file);
    oversized = n > limit;
  }
  bool failed = ferror(file) != 0;
  if (!file_state_open(file, after)) after = opened;
  fclose(file);
  if (oversized) {
    error = too_large(path, raw);
    return false;
  }
  if (failed) {
    error = "cannot read the image " + path;
    return false;
  }
  if (changed(opened, after, n)) {
    error = "the image " + path +
            " changed while it was read; wait until whatever writes it has finished";
    return false;
  }
  bytes.resize(n);
  return true;
}

bool image_read_file(const std::string& path, LoadedImage& image, std::string& error) {
  std::vector<uint8_t> bytes;
  return image_read_contents(path, bytes, error) &&
         image_parse(path, bytes.data(), bytes.size(), image, error);
}
