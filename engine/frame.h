// Request frames to the bootloader, the CRC-16/MODBUS trailer and reply acceptance.
#pragma once
#include <cstdint>

struct UpdateJob;

enum : uint32_t { FRAME_CAPACITY = 1040 };

enum : uint8_t {
  FRAME_MARKER = 0x2B,
  CMD_WRITE_BLOCK = 0xF5,
  CMD_CRC_QUERY = 0xF6,
  CMD_RESET = 0xF7,
};

// CRC-16/MODBUS of the first count bytes; 0xFFFF when count <= 0.
uint16_t frame_crc(const uint8_t* bytes, int32_t count);

void build_crc_query(UpdateJob& job, uint32_t address, uint32_t length);
void build_write_block(UpdateJob& job, uint32_t address, const uint8_t* payload, int32_t n);
void build_reset(UpdateJob& job);

// A read of count bytes is a reply when it has at least 4 bytes and ends in
// the checksum (low byte first) of the bytes before it.
bool reply_is_valid(const UpdateJob& job, int32_t count);
// The same rule on any bytes, for a reader that wants to stop as soon as a reply is whole.
bool bytes_are_reply(const uint8_t* bytes, int32_t count);
// The region CRC of a CRC-query reply: bytes 11 and 12, high byte first.
uint16_t reply_region_crc(const UpdateJob& job);
