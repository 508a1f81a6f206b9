// What the update runs and the end-to-end runs cannot see of the simulated bootloader and of
// quarv-sim: power, framing, units, refused options, its paced wire and receive bound, its log.
#include "sim/quarv_sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/frame.h"
#include "tests/job_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes QUERY = sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4});
const Bytes WRITE = sealed_frame(CMD_WRITE_BLOCK, {FLASH_BASE + 4092}, {0, 4, 1, 2, 3, 4});

// Feeds bytes one microsecond apart from at_us; returns every reply byte, chunks joined.
Bytes feed(SimDevice& device, const Bytes& bytes, uint64_t at_us) {
  std::vector<SimChunk> chunks;
  for (uint8_t b : bytes) sim_device_take(device, b, at_us++, chunks);
  Bytes out;
  for (const SimChunk& c : chunks) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
  return out;
}

// The answer to QUERY over four bytes of flash.
Bytes answer(Bytes flash) {
  const uint16_t crc = frame_crc(flash.data(), 4);
  return sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4}, {uint8_t(crc >> 8), uint8_t(crc)});
}

TEST(SimDevice, DeafUntilPoweredOnThenResynchronises) {
  SimFaults faults;
  faults.power_on_us = 5000;
  SimDevice device;
  sim_device_init(device, 4096, faults);
  EXPECT_TRUE(feed(device, QUERY, 4990).empty());  // its tail arrives after power-on
  // A write header whose payload swallows the query's start: its trailer fails, and the query
  // is found again inside the bytes already taken.
  Bytes torn = sealed_frame(CMD_WRITE_BLOCK, {FLASH_BASE}, {0, 3});
  torn.resize(9);
  torn.insert(torn.end(), QUERY.begin(), QUERY.end());
  EXPECT_EQ(feed(device, torn, 6000), answer({0xFF, 0xFF, 0xFF, 0xFF}));
}

// After its reset is answered the unit runs its application; 50 ms later a fresh unit, erased,
// takes its place, and the first unit's flash CRC is kept for the exit line.
TEST(SimDevice, UnitsAfterReset) {
  SimFaults faults;
  faults.app_after_reset = true;
  faults.next_unit_ms = 50;
  SimDevice device;
  sim_device_init(device, 4096, faults);
  EXPECT_EQ(feed(device, WRITE, 0), sealed_frame(CMD_WRITE_BLOCK, {FLASH_BASE + 4092}, {0}));
  const uint16_t first_crc = sim_flash_crc(device);
  EXPECT_EQ(feed(device, sealed_frame(CMD_RESET, {}), 1000).size(), 6u);
  EXPECT_TRUE(feed(device, QUERY, 2000).empty());
  EXPECT_EQ(feed(device, QUERY, 60000), answer({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(device.unit_crcs, std::vector<uint16_t>{first_crc});
  EXPECT_EQ(device.log.back().unit, 2u);
}

bool parse(std::vector<const char*> args, SimOptions& options, std::string& error) {
  args.insert(args.begin(), {"quarv-sim", "--link", "p"});
  return sim_parse_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(QuarvSim, OptionsAreReadAsPlainDecimalOrRefusedByName) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(
      parse({"--drop", "10", "--app-after-reset", "--next-unit-ms", "1500"}, options, error));
  EXPECT_TRUE(options.faults.reply[10].drop && options.faults.app_after_reset);
  EXPECT_EQ(options.faults.next_unit_ms, 1500u);
  const std::vector<std::vector<const char*>> bad = {
      {"--drop", "010"},     {"--drop", "+5"},        {"--drop", " 5"},
      {"--drop", "0x10"},    {"--drop", "-1"},        {"--drop", "0"},  // counted from 1
      {"--delay", "4"},      {"--split", "4:x"},      {"--program-ms", "5000000000"},
      {"--flash-size", "0"}, {"--flip-write", "0:3"}, {"--drop"},
      {"--bogus"},
  };
  for (const auto& args : bad) {
    EXPECT_FALSE(parse(args, options, error)) << args[0] << " " << args.back();
    EXPECT_NE(error.find(args[0]), std::string::npos) << error;
  }
}

// Frames taken, and replies handed over whole, when their last byte has crossed the line; a held
// reply holds back the next; bytes the pty did not take keep their place; a write block with a
// probe fits the receive queue, a flood does not; log times keep their leading zeros.
TEST(QuarvSim, PacedWire) {
  SimWire wire;
  SimDevice device;
  sim_device_init(device, 64 * 1024, SimFaults{});
  device.faults.reply[2].delay_ms = 50;
  wire_receive(wire, QUERY.data(), 5, 1000);
  wire_receive(wire, QUERY.data() + 5, 8, 1010);  // read early: still behind the first part
  const uint64_t arrived = sim_byte_done(1000, 13), replied = sim_byte_done(arrived, 15);
  wire_deliver(wire, device, arrived - 1);
  EXPECT_TRUE(device.log.empty()) << "taken before its last byte crossed the line";
  wire_deliver(wire, device, arrived);
  Bytes out;
  wire_take_due(wire, replied - 1, out);
  EXPECT_TRUE(out.empty()) << "part of a reply handed over";
  wire_receive(wire, QUERY.data(), QUERY.size(), arrived);  // its reply held back 50 ms
  wire_receive(wire, QUERY.data(), QUERY.size(), arrived);
  wire_deliver(wire, device, UINT64_MAX);
  ASSERT_EQ(wire.outbound.size(), 45u);
  EXPECT_EQ(wire.outbound[14].at_us, replied);
  EXPECT_GE(wire.outbound[15].at_us, arrived + 50000);
  EXPECT_EQ(wire.outbound[44].at_us, sim_byte_done(wire.outbound[15].at_us, 15));
  Bytes all, rest;
  wire_take_due(wire, UINT64_MAX - 1, all);
  wire_unsend(wire, all.data() + 10, all.size() - 10, 0);  // the pty took only 10 bytes
  wire_take_due(wire, 0, rest);
  EXPECT_EQ(rest, Bytes(all.begin() + 10, all.end()));

  const Bytes block_and_probe(1035 + 13, 0x55);
  wire_receive(wire, block_and_probe.data(), block_and_probe.size(), 0);
  EXPECT_EQ(wire.inbound.size(), block_and_probe.size());
  const Bytes flood(1 << 20, 0x55);
  wire_receive(wire, flood.data(), flood.size(), 0);
  EXPECT_EQ(wire.inbound.size(), size_t{SIM_RECEIVE_CAPACITY});
  EXPECT_NE(sim_log_json({5, 0, 0, 0, true, 1}).find("\"time_ms\": 0.005,"), std::string::npos);
}

}  // namespace
