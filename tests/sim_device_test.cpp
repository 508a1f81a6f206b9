// The simulated bootloader on its own: framing, replies, power and units.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/frame.h"
#include "sim/device.h"
#include "tests/job_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes QUERY = sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4});
const Bytes WRITE = sealed_frame(CMD_WRITE_BLOCK, {FLASH_BASE}, {0, 4, 1, 2, 3, 4});

// Feeds bytes one microsecond apart from at_us; returns every reply byte, chunks joined.
Bytes feed(SimDevice& device, const Bytes& bytes, uint64_t at_us) {
  std::vector<SimChunk> chunks;
  for (uint8_t b : bytes) sim_device_take(device, b, at_us++, chunks);
  Bytes out;
  for (const SimChunk& c : chunks) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
  return out;
}

// The answer to QUERY over four bytes of flash.
Bytes answer(std::initializer_list<uint8_t> flash) {
  const uint16_t crc = frame_crc(Bytes(flash).data(), 4);
  return sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4}, {uint8_t(crc >> 8), uint8_t(crc)});
}

TEST(SimDevice, SkipsGarbageAndBadTrailersThenAnswers) {
  Bytes torn_write = WRITE;
  torn_write.resize(9);  // its payload swallows the query's first bytes: its trailer must fail
  Bytes bad_trailer = WRITE;
  bad_trailer.back() ^= 1;
  for (const Bytes& garbage : {Bytes{0x04, 0x04, 0x2B}, Bytes{0xF6, 0x2B, 0x04, 0x2B, 0x00},
                               Bytes{4, 0x2B, 0xF5, 8, 0, 0, 0, 0x04, 0x01},  // 1,025 bytes
                               torn_write, bad_trailer}) {
    SimDevice device;
    sim_device_init(device, 4096, SimFaults{});
    Bytes bytes = garbage;
    bytes.insert(bytes.end(), QUERY.begin(), QUERY.end());
    EXPECT_EQ(feed(device, bytes, 0), answer({0xFF, 0xFF, 0xFF, 0xFF})) << garbage.size();
    EXPECT_EQ(device.writes, 0u) << garbage.size();
  }
}

TEST(SimDevice, WriteRepliesCarryStatusAndOnlyFlashIsWritten) {
  // The last four bytes of flash, one byte past its end, and an end that wraps past 2^32.
  for (uint32_t address : {FLASH_BASE + 4092, FLASH_BASE + 4093, 0xFFFFFFFEu}) {
    SimDevice device;
    sim_device_init(device, 4096, SimFaults{});
    const uint8_t status = address == FLASH_BASE + 4092 ? 0 : 1;
    EXPECT_EQ(feed(device, sealed_frame(CMD_WRITE_BLOCK, {address}, {0, 4, 1, 2, 3, 4}), 0),
              sealed_frame(CMD_WRITE_BLOCK, {address}, {status}));
    EXPECT_EQ(std::count(device.flash.begin(), device.flash.end(), 0xFF), 4096 - 4 * !status);
  }
}

TEST(SimDevice, DeafUntilPoweredOn) {
  SimFaults faults;
  faults.power_on_us = 5000;
  SimDevice device;
  sim_device_init(device, 4096, faults);
  EXPECT_TRUE(feed(device, QUERY, 4990).empty());  // its tail arrives after power-on
  EXPECT_EQ(feed(device, QUERY, 6000).size(), 15u);
}

// After its reset is answered the unit runs its application, or, without that, goes on
// answering; 50 ms later a fresh unit, erased, takes its place and counts afresh.
TEST(SimDevice, UnitsAfterReset) {
  for (bool app : {true, false}) {
    SimFaults faults;
    faults.app_after_reset = app;
    faults.next_unit_ms = 50;
    SimDevice device;
    sim_device_init(device, 4096, faults);
    feed(device, WRITE, 0);
    EXPECT_EQ(feed(device, sealed_frame(CMD_RESET, {}), 1000).size(), 6u);
    EXPECT_EQ(feed(device, QUERY, 2000), app ? Bytes{} : answer({1, 2, 3, 4})) << app;
    EXPECT_EQ(feed(device, QUERY, 60000), answer({0xFF, 0xFF, 0xFF, 0xFF})) << app;
    EXPECT_EQ(device.unit, 2u);
    EXPECT_EQ(device.requests, 1u);
    Bytes first_flash(4096, 0xFF);
    std::copy(WRITE.begin() + 9, WRITE.begin() + 13, first_flash.begin());
    EXPECT_EQ(device.unit_crcs, std::vector<uint16_t>{frame_crc(first_flash.data(), 4096)});
    EXPECT_EQ(device.log.front().unit, 1u);
    EXPECT_EQ(device.log.back().unit, 2u);
  }
}

}  // namespace
