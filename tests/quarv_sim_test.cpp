// What the end-to-end runs cannot see of quarv-sim: refused input, the exact moments of its
// paced wire, and the log's number format.
#include "sim/quarv_sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(QuarvSim, BadOptionsAreRefused) {
  const std::vector<std::vector<const char*>> cases = {
      {},                                             // no link
      {"--link"},                                     // link without a path
      {"--link", "p", "--drop"},                      // value missing at the end
      {"--link", "p", "--drop", "0"},                 // requests count from 1
      {"--link", "p", "--drop", "-1"},                // no negatives through strtoull
      {"--link", "p", "--delay", "4"},                // gap missing
      {"--link", "p", "--split", "4:x"},              // trailing junk
      {"--link", "p", "--program-ms", "5000000000"},  // beyond 32 bits
      {"--link", "p", "--flash-size", "0"},           // no flash at all
      {"--link", "p", "--flip-write", "0:3"},         // writes count from 1
      {"--link", "p", "--bogus"},
  };
  for (auto args : cases) {
    args.insert(args.begin(), "quarv-sim");
    SimOptions options;
    std::string error;
    EXPECT_FALSE(sim_parse_options(static_cast<int>(args.size()), args.data(), options, error))
        << args.back();
    EXPECT_FALSE(error.empty());
  }
}

// A 13-byte link probe for 4 bytes at the flash base.
const std::vector<uint8_t> PROBE = {0x04, 0x2B, 0xF6, 0x08, 0, 0, 0, 0, 0, 0, 0x04, 0x4C, 0x9A};

struct Wire : ::testing::Test {
  SimWire wire;
  SimDevice device;
  void SetUp() override { sim_device_init(device, 64 * 1024, SimFaults{}); }
};

TEST_F(Wire, FrameIsTakenWhenItsLastByteArrivesAndItsReplyLeavesWhole) {
  wire_receive(wire, PROBE.data(), 5, 1000);
  wire_receive(wire, PROBE.data() + 5, 8, 1010);  // read early: still behind the first part
  const uint64_t arrived = sim_byte_done(1000, 13);
  wire_deliver(wire, device, arrived - 1);
  EXPECT_TRUE(device.log.empty()) << "taken before its last byte crossed the line";
  wire_deliver(wire, device, arrived);
  ASSERT_EQ(device.log.size(), 1u);
  EXPECT_EQ(device.log[0].at_us, arrived);

  const uint64_t replied = sim_byte_done(arrived, 15);
  EXPECT_EQ(wire_next_due(wire), replied);
  std::vector<uint8_t> out;
  wire_take_due(wire, replied - 1, out);
  EXPECT_TRUE(out.empty()) << "part of a reply handed over";
  wire_take_due(wire, replied, out);
  EXPECT_EQ(out.size(), 15u);
  EXPECT_EQ(wire_next_due(wire), UINT64_MAX);
}

TEST_F(Wire, DelayedReplyHoldsBackTheNextAndUnsentBytesKeepTheirPlace) {
  device.faults.reply[1].delay_ms = 50;
  wire_receive(wire, PROBE.data(), PROBE.size(), 0);
  wire_receive(wire, PROBE.data(), PROBE.size(), 0);
  wire_deliver(wire, device, 1000000);
  ASSERT_EQ(wire.outbound.size(), 30u);
  for (size_t i = 1; i < wire.outbound.size(); ++i)
    EXPECT_GE(wire.outbound[i].at_us, wire.outbound[i - 1].at_us) << "byte " << i;
  EXPECT_GE(wire.outbound.front().at_us, 50000u);
  EXPECT_EQ(wire.outbound.back().at_us, sim_byte_done(wire.outbound.front().at_us, 15));

  std::vector<uint8_t> out;
  wire_take_due(wire, UINT64_MAX - 1, out);
  const std::vector<uint8_t> all = out;
  wire_unsend(wire, out.data() + 10, out.size() - 10, 0);  // the pty took only 10 bytes
  out.resize(10);
  wire_take_due(wire, 0, out);
  EXPECT_EQ(out, all);
}

TEST(QuarvSim, LogTimeKeepsItsLeadingZeros) {
  EXPECT_EQ(sim_log_json({5, 0x42, 0, 13, false, 3}),
            "{\"time_ms\": 0.005, \"command\": \"unknown\", \"code\": 66, "
            "\"address\": 0, \"length\": 13, \"trailer_ok\": false, \"unit\": 3}");
}

}  // namespace
