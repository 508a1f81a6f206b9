#include "cli/flash.h"
#include "loader/image_load.h"

bool read_image_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& format,
                     std::string& error) {
  LoadedImage image;
  if (!image_read_file(path, image, error)) return false;
  format = image_format_name(image.format);
  bytes.swap(image.bytes);
  return true;
}
