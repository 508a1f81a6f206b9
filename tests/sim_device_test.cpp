// The simulated bootloader on its own: framing, replies and power.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/frame.h"
#include "engine/update_job.h"
#include "sim/device.h"
#include "tests/job_harness.h"

namespace {

struct Request {
  UpdateJob job{};
  uint8_t frame[FRAME_CAPACITY] = {};
  Request() {
    job.frame = frame;
    job.target_address = TARGET_ADDRESS;
  }
  std::vector<uint8_t> bytes() const {
    return std::vector<uint8_t>(frame, frame + job.frame_length);
  }
};

std::vector<uint8_t> crc_query(uint32_t address, uint32_t length) {
  Request r;
  build_crc_query(r.job, address, length);
  return r.bytes();
}

std::vector<uint8_t> write_block(uint32_t address, const std::vector<uint8_t>& payload) {
  Request r;
  build_write_block(r.job, address, payload.data(), static_cast<int32_t>(payload.size()));
  return r.bytes();
}

// Feeds bytes one microsecond apart from at_us; returns every reply byte, chunks joined.
std::vector<uint8_t> feed(SimDevice& device, const std::vector<uint8_t>& bytes, uint64_t at_us) {
  std::vector<SimChunk> chunks;
  for (uint8_t b : bytes) sim_device_take(device, b, at_us++, chunks);
  std::vector<uint8_t> out;
  for (const SimChunk& c : chunks) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
  return out;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SimDevice, ResynchronisesAfterGarbage) {
  const std::vector<uint8_t> query = crc_query(FLASH_BASE, 4);
  const uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const std::vector<uint8_t> erased_probe_reply =
      device_crc_reply(FLASH_BASE, 4, frame_crc(erased, 4));
  std::vector<uint8_t> torn_write = write_block(FLASH_BASE, {1, 2, 3});
  torn_write.resize(9);
  std::vector<uint8_t> bad_length = {4, 0x2B, 0xF5, 8, 0, 0, 0, 0x04, 0x01};  // n = 1025
  const std::vector<std::vector<uint8_t>> garbage = {
      {0x00},     {0x04, 0x04, 0x2B}, {0x04, 0x2B, 0x99}, {0xF6, 0x2B, 0x04, 0x2B, 0x00},
      bad_length,
      torn_write,  // its payload swallows the query's first bytes: a trailer check must fail
  };
  for (size_t i = 0; i < garbage.size(); ++i) {
    SimDevice device;
    sim_device_init(device, 4096, SimFaults{});
    EXPECT_EQ(feed(device, cat(garbage[i], query), 0), erased_probe_reply) << "garbage " << i;
    EXPECT_EQ(device.writes, 0u) << "garbage " << i;
  }
}

TEST(SimDevice, FrameWithBadTrailerIsIgnored) {
  SimDevice device;
  sim_device_init(device, 4096, SimFaults{});
  std::vector<uint8_t> block = write_block(FLASH_BASE, {0x11, 0x22});
  block.back() ^= 1;
  EXPECT_TRUE(feed(device, block, 0).empty());
  EXPECT_EQ(device.flash[0], 0xFF);
  ASSERT_EQ(device.log.size(), 1u);
  EXPECT_FALSE(device.log[0].trailer_ok);
  EXPECT_EQ(device.requests, 0u);
}

TEST(SimDevice, WriteRepliesCarryStatusAndOnlyFlashIsWritten) {
  struct Case {
    uint32_t address;
    uint8_t status;
  } cases[] = {
      {FLASH_BASE, 0},
      {FLASH_BASE + 4096 - 4, 0},  // last four bytes
      {FLASH_BASE + 4096 - 3, 1},  // one byte past the end
      {FLASH_BASE - 1, 1},
      {0, 1},
      {0xFFFFFFFE, 1},  // the end wraps past 2^32
  };
  const std::vector<uint8_t> payload = {1, 2, 3, 4};
  for (const Case& c : cases) {
    SimDevice device;
    sim_device_init(device, 4096, SimFaults{});
    const std::vector<uint8_t> reply = feed(device, write_block(c.address, payload), 0);
    const uint8_t a[4] = {static_cast<uint8_t>(c.address >> 24),
                          static_cast<uint8_t>(c.address >> 16),
                          static_cast<uint8_t>(c.address >> 8), static_cast<uint8_t>(c.address)};
    EXPECT_EQ(reply, sealed({4, 0x2B, 0xF5, a[0], a[1], a[2], a[3], c.status})) << c.address;
    const size_t programmed = 4096 - std::count(device.flash.begin(), device.flash.end(), 0xFF);
    EXPECT_EQ(programmed, c.status == 0 ? 4u : 0u) << c.address;
  }
}

TEST(SimDevice, CrcAnswerAtBytes11And12HighFirst) {
  SimDevice device;
  sim_device_init(device, 4096, SimFaults{});
  const std::vector<uint8_t> payload = pattern_bytes(1024, 11);
  feed(device, write_block(FLASH_BASE + 1024, payload), 0);
  const std::vector<uint8_t> reply = feed(device, crc_query(FLASH_BASE + 1024, 1024), 2000);
  ASSERT_EQ(reply.size(), 15u);
  const uint16_t crc = frame_crc(payload.data(), 1024);
  EXPECT_EQ(reply[11], crc >> 8);
  EXPECT_EQ(reply[12], crc & 0xFF);
  EXPECT_EQ(frame_crc(reply.data(), 13), reply[13] | reply[14] << 8);
}

TEST(SimDevice, DeafUntilPoweredOn) {
  SimFaults faults;
  faults.power_on_us = 5000;
  SimDevice device;
  sim_device_init(device, 4096, faults);
  const std::vector<uint8_t> query = crc_query(FLASH_BASE, 4);
  EXPECT_TRUE(feed(device, query, 4990).empty());  // its tail arrives after power-on
  EXPECT_EQ(feed(device, query, 6000).size(), 15u);

  faults.wait_for_power = true;
  sim_device_init(device, 4096, faults);
  EXPECT_TRUE(feed(device, query, 100000).empty());
  sim_device_power_on(device, 200000);
  EXPECT_TRUE(feed(device, query, 199000).empty());
  EXPECT_EQ(feed(device, query, 200000).size(), 15u);
}

}  // namespace
