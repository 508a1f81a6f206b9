// What the end-to-end runs cannot see of quarv-sim: refused input, the exact moments of its
// paced wire, its receive bound, and the log's number format.
#include "sim/quarv_sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/frame.h"
#include "tests/job_harness.h"

namespace {

bool parse(std::vector<const char*> args, SimOptions& options, std::string& error) {
  args.insert(args.begin(), {"quarv-sim", "--link", "p"});
  return sim_parse_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(QuarvSim, OptionsAreReadAsPlainDecimalOrRefusedByName) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(
      parse({"--drop", "10", "--delay", "3:250", "--app-after-reset", "--next-unit-ms", "1500"},
            options, error));
  EXPECT_TRUE(options.faults.reply[10].drop && !options.faults.reply[10].corrupt);
  EXPECT_EQ(options.faults.reply[3].delay_ms, 250u);
  EXPECT_TRUE(options.faults.app_after_reset);
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
  const char* no_link[] = {"quarv-sim"};
  EXPECT_FALSE(sim_parse_options(1, no_link, options, error));
}

// A frame is taken when its last byte has crossed the line, its reply handed over whole when
// its own last byte has; a held-back reply holds back the next; bytes the pty did not take
// keep their place; a whole write block with a probe fits the receive queue, a flood does not.
TEST(QuarvSim, PacedWire) {
  SimWire wire;
  SimDevice device;
  sim_device_init(device, 64 * 1024, SimFaults{});
  device.faults.reply[2].delay_ms = 50;
  const std::vector<uint8_t> probe = sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 4});
  wire_receive(wire, probe.data(), 5, 1000);
  wire_receive(wire, probe.data() + 5, 8, 1010);  // read early: still behind the first part
  const uint64_t arrived = sim_byte_done(1000, 13), replied = sim_byte_done(arrived, 15);
  wire_deliver(wire, device, arrived - 1);
  EXPECT_TRUE(device.log.empty()) << "taken before its last byte crossed the line";
  wire_deliver(wire, device, arrived);
  std::vector<uint8_t> out;
  wire_take_due(wire, replied - 1, out);
  EXPECT_TRUE(out.empty()) << "part of a reply handed over";
  wire_receive(wire, probe.data(), probe.size(), arrived);  // its reply held back 50 ms
  wire_receive(wire, probe.data(), probe.size(), arrived);
  wire_deliver(wire, device, UINT64_MAX);
  ASSERT_EQ(wire.outbound.size(), 45u);
  EXPECT_EQ(wire.outbound[14].at_us, replied);
  EXPECT_GE(wire.outbound[15].at_us, arrived + 50000);
  EXPECT_EQ(wire.outbound[44].at_us, sim_byte_done(wire.outbound[15].at_us, 15));
  wire_take_due(wire, UINT64_MAX - 1, out);
  const std::vector<uint8_t> all = out;
  wire_unsend(wire, out.data() + 10, out.size() - 10, 0);  // the pty took only 10 bytes
  out.resize(10);
  wire_take_due(wire, 0, out);
  EXPECT_EQ(out, all);

  std::vector<uint8_t> block = sealed_frame(CMD_WRITE_BLOCK, {FLASH_BASE}, {4, 0});
  block.resize(9 + 1024);
  const uint16_t crc = frame_crc(block.data(), static_cast<int32_t>(block.size()));
  block.insert(block.end(), {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
  block.insert(block.end(), probe.begin(), probe.end());
  wire_receive(wire, block.data(), block.size(), 0);
  wire_deliver(wire, device, UINT64_MAX);
  EXPECT_EQ(device.log.size(), 5u);
  const std::vector<uint8_t> flood(1 << 20, 0x55);
  wire_receive(wire, flood.data(), flood.size(), 0);
  EXPECT_EQ(wire.inbound.size(), size_t{SIM_RECEIVE_CAPACITY});
}

TEST(QuarvSim, LogTimeKeepsItsLeadingZeros) {
  EXPECT_EQ(sim_log_json({5, 0x42, 0, 13, false, 3}),
            "{\"time_ms\": 0.005, \"command\": \"unknown\", \"code\": 66, "
            "\"address\": 0, \"length\": 13, \"trailer_ok\": false, \"unit\": 3}");
}

}  // namespace
