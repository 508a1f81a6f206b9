#include "loader/image_load.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/update_job.h"
#include "loader/pieces.h"

namespace {

const uint64_t ADDRESS_END = uint64_t{FLASH_BASE} + LOADER_IMAGE_MAX;

bool is_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// No firmware image is all printable text; a hex dump or a README is.
bool all_text(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if ((data[i] < 0x20 || data[i] > 0x7E) && !is_space(data[i]) && data[i] != '\f' &&
        data[i] != '\v')
      return false;
  return true;
}

// Files picked by mistake: each begins with its kind's signature. None of them is the start of a
// vector table, whose first word is a word-aligned stack address in RAM.
const char* container_of(const uint8_t* data, size_t size) {
  static const struct {
    const char* magic;
    size_t length;
    const char* what;
  } kinds[] = {
      {"\x89PNG\r\n\x1a\n", 8, "a PNG picture"},
      {"\xff\xd8\xff", 3, "a JPEG picture"},
      {"GIF87a", 6, "a GIF picture"},
      {"GIF89a", 6, "a GIF picture"},
      {"%PDF-", 5, "a PDF document"},
      // Also every .docx, .xlsx, .jar and .apk: they are ZIP archives.
      {"PK\x03\x04", 4, "a ZIP archive"},
      {"PK\x05\x06", 4, "a ZIP archive"},
      {"PK\x07\x08", 4, "a ZIP archive"},
      {"\x1f\x8b", 2, "a gzip archive"},
      {"BZh", 3, "a bzip2 archive"},
      {"\xfd"
       "7zXZ\0",
       6, "an xz archive"},
      {"7z\xbc\xaf\x27\x1c", 6, "a 7z archive"},
      {"Rar!\x1a\x07", 6, "a RAR archive"},
      {"MZ", 2, "a Windows executable"},
      {"\xff\xfe", 2, "UTF-16 text"},
      {"\xfe\xff", 2, "UTF-16 text"},
  };
  for (const auto& kind : kinds)
    if (size >= kind.length && memcmp(data, kind.magic, kind.length) == 0) return kind.what;
  return nullptr;
}

bool assemble(Pieces& pieces, std::vector<uint8_t>& out, std::string& error) {
  std::vector<Piece>& list = pieces.list;
  if (list.empty()) {
    error = pieces.name + ": no data to write: the image is empty";
    return false;
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Piece& a, const Piece& b) { return a.address < b.address; });
  if (list.front().address != FLASH_BASE) {
    error = located(pieces, list.front().where) + "the image starts at " +
            hex_address(list.front().address) +
            ", but the bootloader writes from 0x08000000: an image linked for another address";
    return false;
  }
  uint64_t end = 0;
  for (const Piece& piece : list) end = std::max(end, piece.address + piece.length);
  out.assign(static_cast<size_t>(end - FLASH_BASE), 0);
  // Pieces sorted by address: the one reaching furthest so far holds every written byte
  // from the next piece's start up to its own end.
  uint64_t covered = FLASH_BASE;
  const Piece* holder = nullptr;
  for (const Piece& piece : list) {
    uint8_t* at = out.data() + (piece.address - FLASH_BASE);
    const uint8_t* bytes = pieces.data.data() + piece.offset;
    if (holder && piece.address < covered) {
      size_t shared =
          static_cast<size_t>(std::min(covered, piece.address + piece.length) - piece.address);
      for (size_t i = 0; i < shared; ++i)
        if (at[i] != bytes[i]) {
          error = located(pieces, piece.where) + "the byte at " + hex_address(piece.address + i) +
                  " differs from the one " + pieces.unit + " " + std::to_string(holder->where) +
                  " puts there";
          return false;
        }
    }
    memcpy(at, bytes, piece.length);
    if (piece.address + piece.length > covered) {
      covered = piece.address + piece.length;
      holder = &piece;
    }
  }
  return true;
}

bool load_raw(const std::string& name, const uint8_t* data, size_t size, LoadedImage& image,
              std::string& error) {
  if (size == 0) {
    // One block of zeros over the vector table would leave a device that cannot start.
    error = "the image " + name + " is empty";
    return false;
  }
  // Named before its size is judged: a large archive is told as one.
  if (const char* what = container_of(data, size)) {
    error = name + " is " + what + ", not firmware";
    // A Windows shell's redirection writes UTF-16: a HEX file made so must not go out as raw.
    if (strcmp(what, "UTF-16 text") == 0)
      error += " (a HEX or S-record file saved as UTF-16? save it as ASCII)";
    return false;
  }
  if (size > LOADER_IMAGE_MAX) {
    error = "the image " + name + " is " + std::to_string(size) +
            " bytes, larger than the largest image (" + std::to_string(LOADER_IMAGE_MAX) +
            " bytes)";
    return false;
  }
  if (all_text(data, size)) {
    error = "the image " + name +
            " is all printable text, which no firmware image is (nor is it Intel HEX or "
            "S-record: those start with ':' or 'S0'..'S9')";
    return false;
  }
  image.bytes.assign(data, data + size);
  return true;
}

}  // namespace

std::string hex_address(uint64_t address) {
  char text[24];
  snprintf(text, sizeof text, "0x%08" PRIx64, address);
  return text;
}

std::string located(const Pieces& pieces, uint32_t where) {
  return pieces.name + ": " + pieces.unit + " " + std::to_string(where) + ": ";
}

bool add_piece(Pieces& pieces, uint64_t address, const uint8_t* bytes, size_t length,
               uint32_t where, std::string& error) {
  if (length == 0) return true;
  if (address < FLASH_BASE) {
    error = located(pieces, where) + "data at " + hex_address(address) +
            " lies below the flash start 0x08000000";
    return false;
  }
  if (address + length > ADDRESS_END) {
    error = located(pieces, where) + "data at " + hex_address(address) + " runs past " +
            hex_address(ADDRESS_END - 1) + ", the highest address the tools write";
    return false;
  }
  pieces.list.push_back({address, pieces.data.size(), length, where});
  pieces.data.insert(pieces.data.end(), bytes, bytes + length);
  return true;
}

const char* image_format_name(ImageFormat format) {
  switch (format) {
    case ImageIntelHex: return "Intel HEX";
    case ImageSrec: return "S-record";
    case ImageElf: return "ELF";
    default: return "raw binary";
  }
}

// A text editor's byte-order mark before a HEX or S-record file.
static size_t bom_size(const uint8_t* data, size_t size) {
  return size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
}

ImageFormat image_format_of(const uint8_t* data, size_t size) {
  if (size >= 4 && data[0] == 0x7F && memcmp(data + 1, "ELF", 3) == 0) return ImageElf;
  size_t i = bom_size(data, size);
  while (i < size && is_space(data[i])) ++i;
  if (i < size && data[i] == ':') return ImageIntelHex;
  if (i + 1 < size && data[i] == 'S' && data[i + 1] >= '0' && data[i + 1] <= '9') return ImageSrec;
  return ImageRaw;
}

bool image_parse(const std::string& name, const uint8_t* data, size_t size, LoadedImage& image,
                 std::string& error) {
  image.format = image_format_of(data, size);
  image.bytes.clear();
  if (image.format == ImageRaw) return load_raw(name, data, size, image, error);
  // Once a file announces a format it is held to it: never flashed as raw bytes.
  if (image.format != ImageElf) {
    size_t skip = bom_size(data, size);
    data += skip;
    size -= skip;
  }
  Pieces pieces{name, image.format == ImageElf ? "segment" : "line", {}, {}};
  bool parsed = image.format == ImageIntelHex ? parse_intel_hex(data, size, pieces, error)
                : image.format == ImageSrec   ? parse_srec(data, size, pieces, error)
                                              : parse_elf(data, size, pieces, error);
  if (!parsed && image.format != ImageElf) {
    // A raw binary that happens to start with ':' or "S0".."S9" lands here: say why it was
    // read as text, or "line 1: malformed record" makes no sense to its owner.
    size_t i = 0;
    while (i < size && is_space(data[i])) ++i;
    error +=
        " (the file was read as " + std::string(image_format_name(image.format)) +
        ": it starts with '" +
        std::string(reinterpret_cast<const char*>(data + i), image.format == ImageSrec ? 2 : 1) +
        "')";
  }
  return parsed && assemble(pieces, image.bytes, error);
}
