// ELF32 little-endian executables: the file bytes of the loadable segments at their load
// (physical) addresses, where a boot image places its initialised data.
#include <cstring>

#include "loader/pieces.h"

namespace {

uint32_t u16(const uint8_t* at) { return uint32_t{at[0]} | uint32_t{at[1]} << 8; }
uint32_t u32(const uint8_t* at) { return u16(at) | u16(at + 2) << 16; }

enum : uint32_t { EHDR_SIZE = 52, PHDR_SIZE = 32, ET_EXEC = 2, PT_LOAD = 1 };

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
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* header = data + table + uint64_t{entry_size} * i;
    uint64_t offset = u32(header + 4), load = u32(header + 12), file_size = u32(header + 16);
    if (u32(header) != PT_LOAD || file_size == 0) continue;
    if (offset + file_size > size) {
      error = located(pieces, i) + "its bytes lie outside the file (at " + hex_address(load) + ")";
      return false;
    }
    if (!add_piece(pieces, load, data + offset, file_size, i, error)) return false;
  }
  if (pieces.list.empty()) {
    error = file + "no loadable bytes (no PT_LOAD segment with file contents)";
    return false;
  }
  return true;
}
