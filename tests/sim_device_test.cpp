// The simulated bootloader on its own: framing, replies and power.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/frame.h"
#include "sim/device.h"
#include "tests/job_harness.h"

namespace {

// Feeds bytes one microsecond apart from at_us; returns every reply byte, chunks joined.
std::vector<uint8_t> feed(SimDevice& device, const std::vector<uint8_t>& bytes, uint64_t at_us) {
  std::vector<SimChunk> chunks;
  for (uint8_t b : bytes) sim_device_take(device, b, at_us++, chunks);
  std::vector<uint8_t> out;
  for (const SimChunk& c : chunks) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
  return out;
}

TEST(SimDevice, SkipsGarbageAndBadTrailersThenAnswers) {
  const std::vector<uint8_t> query = sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4});
  const uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const uint16_t crc = frame_crc(erased, 4);
  std::vector<uint8_t> torn_write = sealed_frame(CMD_WRITE_BLOCK, {FLASH_BASE}, {0, 3, 1, 2, 3});
  torn_write.resize(9);
  std::vector<uint8_t> bad_trailer = sealed_frame(CMD_WRITE_BLOCK, {FLASH_BASE}, {0, 2, 7, 8});
  bad_trailer.back() ^= 1;
  const std::vector<std::vector<uint8_t>> garbage = {
      {0x00},
      {0x04, 0x04, 0x2B},
      {0x04, 0x2B, 0x99},
      {0xF6, 0x2B, 0x04, 0x2B, 0x00},
      {4, 0x2B, 0xF5, 8, 0, 0, 0, 0x04, 0x01},  // a payload of 1,025 bytes
      torn_write,  // its payload swallows the query's first bytes: a trailer check must fail
      bad_trailer,
  };
  for (size_t i = 0; i < garbage.size(); ++i) {
    SimDevice device;
    sim_device_init(device, 4096, SimFaults{});
    std::vector<uint8_t> bytes = garbage[i];
    bytes.insert(bytes.end(), query.begin(), query.end());
    EXPECT_EQ(feed(device, bytes, 0),
              sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4},
                           {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}))
        << "garbage " << i;
    EXPECT_EQ(device.writes, 0u) << "garbage " << i;
  }
}

TEST(SimDevice, WriteRepliesCarryStatusAndOnlyFlashIsWritten) {
  struct Case {
    uint32_t address;
    uint8_t status;
  } cases[] = {
      {FLASH_BASE + 4096 - 4, 0},  // last four bytes
      {FLASH_BASE + 4096 - 3, 1},  // one byte past the end
      {FLASH_BASE - 1, 1},
      {0xFFFFFFFE, 1},  // the end wraps past 2^32
  };
  for (const Case& c : cases) {
    SimDevice device;
    sim_device_init(device, 4096, SimFaults{});
    const std::vector<uint8_t> request =
        sealed_frame(CMD_WRITE_BLOCK, {c.address}, {0, 4, 1, 2, 3, 4});
    EXPECT_EQ(feed(device, request, 0), sealed_frame(CMD_WRITE_BLOCK, {c.address}, {c.status}))
        << c.address;
    const size_t programmed = 4096 - std::count(device.flash.begin(), device.flash.end(), 0xFF);
    EXPECT_EQ(programmed, c.status == 0 ? 4u : 0u) << c.address;
  }
}

TEST(SimDevice, DeafUntilPoweredOn) {
  SimFaults faults;
  faults.power_on_us = 5000;
  SimDevice device;
  sim_device_init(device, 4096, faults);
  const std::vector<uint8_t> query = sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4});
  EXPECT_TRUE(feed(device, query, 4990).empty());  // its tail arrives after power-on
  EXPECT_EQ(feed(device, query, 6000).size(), 15u);
}

}  // namespace
