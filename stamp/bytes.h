// Little-endian fields of Windows executables and their resources.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline uint32_t get16(const uint8_t* at) { return uint32_t{at[0]} | uint32_t{at[1]} << 8; }
inline uint32_t get32(const uint8_t* at) { return get16(at) | get16(at + 2) << 16; }
inline void put16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
inline void put32(uint8_t* at, uint32_t value) {
  put16(at, value);
  put16(at + 2, value >> 16);
}
inline size_t align_up(size_t value, size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}
