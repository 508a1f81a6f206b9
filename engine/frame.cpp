#include "engine/frame.h"

#include <cstring>

#include "engine/update_job.h"

uint16_t frame_crc(const uint8_t* bytes, int32_t count) {
  uint16_t crc = 0xFFFF;
  for (int32_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

static void put_be32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

static void put_header(UpdateJob& job, uint8_t command) {
  job.frame[0] = static_cast<uint8_t>(job.target_address);
  job.frame[1] = FRAME_MARKER;
  job.frame[2] = command;
}

// Sets the length, then seals the frame with its little-endian checksum.
static void seal(UpdateJob& job, int32_t length) {
  job.frame_length = length;
  uint16_t crc = frame_crc(job.frame, length - 2);
  job.frame[length - 2] = static_cast<uint8_t>(crc);
  job.frame[length - 1] = static_cast<uint8_t>(crc >> 8);
}

void build_crc_query(UpdateJob& job, uint32_t address, uint32_t length) {
  put_header(job, CMD_CRC_QUERY);
  put_be32(job.frame + 3, address);
  put_be32(job.frame + 7, length);
  seal(job, 13);
}

void build_write_block(UpdateJob& job, uint32_t address, const uint8_t* payload, int32_t n) {
  put_header(job, CMD_WRITE_BLOCK);
  put_be32(job.frame + 3, address);
  job.frame[7] = static_cast<uint8_t>(n >> 8);
  job.frame[8] = static_cast<uint8_t>(n);
  memcpy(job.frame + 9, payload, static_cast<size_t>(n));
  seal(job, n + 11);
}

void build_reset(UpdateJob& job) {
  put_header(job, CMD_RESET);
  seal(job, 5);
}

bool bytes_are_reply(const uint8_t* bytes, int32_t count) {
  if (count < 4 || static_cast<uint32_t>(count) > FRAME_CAPACITY) return false;
  uint16_t trailer = static_cast<uint16_t>(bytes[count - 2] + 256 * bytes[count - 1]);
  return frame_crc(bytes, count - 2) == trailer;
}

bool reply_is_valid(const UpdateJob& job, int32_t count) {
  return bytes_are_reply(job.frame, count);
}

uint16_t reply_region_crc(const UpdateJob& job) {
  return static_cast<uint16_t>(job.frame[11] * 256 + job.frame[12]);
}
