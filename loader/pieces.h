// What each format's parser hands to the assembly of the image: placed runs of bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct Piece {
  uint64_t address;
  size_t offset;  // into Pieces::data
  size_t length;
  uint32_t where;  // line or segment number
};

struct Pieces {
  std::string name;
  const char* unit;  // "line" or "segment"
  std::vector<uint8_t> data;
  std::vector<Piece> list;
};

// "NAME: line 12: " for messages.
std::string located(const Pieces& pieces, uint32_t where);
std::string hex_address(uint64_t address);

// Adds a run of bytes; false with a message when any of it lies outside the writable flash.
bool add_piece(Pieces& pieces, uint64_t address, const uint8_t* bytes, size_t length,
               uint32_t where, std::string& error);

bool parse_intel_hex(const uint8_t* data, size_t size, Pieces& pieces, std::string& error);
bool parse_srec(const uint8_t* data, size_t size, Pieces& pieces, std::string& error);
bool parse_elf(const uint8_t* data, size_t size, Pieces& pieces, std::string& error);
