// ELF32 little-endian executables, taken as objcopy -O binary takes them: the contents of each
// allocated section at its load (physical) address, where a boot image places its initialised
// data. GNU ld often puts the file's own headers in the first loadable segment (a small page
// size, an application slot above the flash start); they belong to no section and are never
// flashed.
#include <algorithm>
#include <cstring>

#include "loader/pieces.h"

namespace {

uint32_t u16(const uint8_t* at) { return uint32_t{at[0]} | uint32_t{at[1]} << 8; }
uint32_t u32(const uint8_t* at) { return u16(at) | u16(at + 2) << 16; }

enum : uint32_t {
  EHDR_SIZE = 52,
  PHDR_SIZE = 32,
  SHDR_SIZE = 40,
  ET_EXEC = 2,
  PT_LOAD = 1,
  SHT_NULL = 0,
  SHT_NOBITS = 8,
  SHF_ALLOC = 2,
};

struct Segment {
  uint64_t offset, load, file_size;
};

// The sections that hold bytes for the target: allocated, with contents in the file.
bool add_sections(const uint8_t* data, size_t size, const std::vector<Segment>& segments,
                  Pieces& pieces, std::string& error) {
  const std::string file = pieces.name + ": ";
  uint64_t table = u32(data + 32);
  uint32_t entry_size = u16(data + 46), count = u16(data + 48);
  if (entry_size < SHDR_SIZE || table + uint64_t{entry_size} * count > size) {
    error = file + "its section headers lie outside the file";
    return false;
  }
  for (uint32_t s = 0; s < count; ++s) {
    const uint8_t* header = data + table + uint64_t{entry_size} * s;
    uint32_t type = u32(header + 4), flags = u32(header + 8);
    uint64_t offset = u32(header + 16), length = u32(header + 20);
    if (type == SHT_NULL || type == SHT_NOBITS || !(flags & SHF_ALLOC) || length == 0) continue;
    // objcopy places a section by the loadable segment its file bytes lie in.
    auto holder = std::find_if(segments.begin(), segments.end(), [&](const Segment& segment) {
      return offset >= segment.offset && offset + length <= segment.offset + segment.file_size;
    });
    if (holder == segments.end()) {
      error = file + "section " + std::to_string(s) + " (at " + hex_address(u32(header + 12)) +
              ") holds bytes for the target but lies in no loadable segment";
      return false;
    }
    uint64_t load = holder->load + (offset - holder->offset);
    auto where = static_cast<uint32_t>(holder - segments.begin());
    if (!add_piece(pieces, load, data + offset, static_cast<size_t>(length), where, error))
      return false;
  }
  return true;
}

}  // namespace

bool parse_elf(const uint8_t* data, size_t size, Pieces& pieces, std::string& error) {
  const std::string file = pieces.name + ": ";
  if (size < EHDR_SIZE || data[4] != 1 || data[5] != 1) {
    error = file + "not a 32-bit little-endian ELF file";
    if (size >= 6)
      error += " (class " + std::to_string(data[4]) + ", data " + std::to_string(data[5]) + ")";
    return false;
  }
  if (u16(data + 16) != ET_EXEC) {
    error = file + "not an ELF executable (type " + std::to_string(u16(data + 16)) +
            "): link the firmware first";
    return false;
  }
  uint64_t table = u32(data + 28);
  uint32_t entry_size = u16(data + 42), count = u16(data + 44);
  if (count && (entry_size < PHDR_SIZE || table + uint64_t{entry_size} * count > size)) {
    error = file + "its program headers lie outside the file";
    return false;
  }
  // Segments keep their numbers as readelf -l lists them: messages name them so.
  std::vector<Segment> segments(count, Segment{0, 0, 0});
  bool loadable = false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* header = data + table + uint64_t{entry_size} * i;
    uint64_t offset = u32(header + 4), load = u32(header + 12), file_size = u32(header + 16);
    if (u32(header) != PT_LOAD || file_size == 0) continue;
    if (offset + file_size > size) {
      error = located(pieces, i) + "its bytes lie outside the file (at " + hex_address(load) + ")";
      return false;
    }
    segments[i] = {offset, load, file_size};
    loadable = true;
  }
  if (!loadable) {
    error = file + "no loadable bytes (no PT_LOAD segment with file contents)";
    return false;
  }
  if (u16(data + 48) != 0) {
    if (!add_sections(data, size, segments, pieces, error)) return false;
  } else {
    // Without a section table only the segments say what is loaded: their bytes less the file's
    // headers, which no target wants at its flash start.
    uint64_t headers_end = std::max<uint64_t>(EHDR_SIZE, table + uint64_t{entry_size} * count);
    for (uint32_t i = 0; i < count; ++i) {
      Segment segment = segments[i];
      uint64_t skip = segment.offset < headers_end
                          ? std::min(headers_end - segment.offset, segment.file_size)
                          : 0;
      if (!add_piece(pieces, segment.load + skip, data + segment.offset + skip,
                     static_cast<size_t>(segment.file_size - skip), i, error))
        return false;
    }
  }
  if (pieces.list.empty()) {
    error = file + "no loadable bytes (no allocated section with contents)";
    return false;
  }
  return true;
}
