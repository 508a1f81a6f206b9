// Firmware files as firmware teams hand them over: raw binary, Intel HEX, S-record, ELF32.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum ImageFormat { ImageRaw, ImageIntelHex, ImageSrec, ImageElf };

// The bytes from the flash base up to the highest address that holds data; gaps are zeros, as
// objcopy -O binary fills them, so a file and the raw binary made from it flash alike.
struct LoadedImage {
  ImageFormat format = ImageRaw;
  std::vector<uint8_t> bytes;
};

enum : uint32_t {
  // The largest image either tool takes: the 32-bit updater holds it twice in memory, and at the
  // line's 10 KB/s it is already half an hour of writing. Bounds every read of an endless input.
  LOADER_IMAGE_MAX = 16u << 20,
  // A text or ELF file carries more than its image: addresses, checksums, symbols.
  LOADER_FILE_MAX = 128u << 20,
};

const char* image_format_name(ImageFormat format);

// The format the first bytes announce; anything else is raw.
ImageFormat image_format_of(const uint8_t* data, size_t size);

// Loads the image from a file's contents; name is only for messages. False, with a message that
// names the file and the line, record or segment and the address, when it is refused.
bool image_parse(const std::string& name, const uint8_t* data, size_t size, LoadedImage& image,
                 std::string& error);

// Reads the file at path once and whole, within the bound its first bytes set, whatever the
// file is: a pipe or a FIFO cannot be read a second time, so a caller that also needs the
// file's own bytes takes them from here and parses these.
bool image_read_contents(const std::string& path, std::vector<uint8_t>& contents,
                         std::string& error);

// Reads and loads the file at path, within a bounded read whatever the file is.
bool image_read_file(const std::string& path, LoadedImage& image, std::string& error);
