// quarv-sim's command line and its paced wire, without a pseudo-terminal.
#include "sim/quarv_sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/frame.h"

namespace {

bool parse(std::vector<const char*> args, SimOptions& options, std::string& error) {
  args.insert(args.begin(), "quarv-sim");
  return sim_parse_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(QuarvSimOptions, EveryFaultReachesTheModel) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parse({"--link",
                     "/x/com3",
                     "--log",
                     "l",
                     "--dump",
                     "d",
                     "--no-pacing",
                     "--flash-size",
                     "0x20000",
                     "--program-ms",
                     "25",
                     "--power-off-ms",
                     "2000",
                     "--power-on-signal",
                     "--drop",
                     "4",
                     "--corrupt",
                     "5",
                     "--delay",
                     "6:300",
                     "--split",
                     "7:40",
                     "--flip-write",
                     "2:13",
                     "--resets-unanswered",
                     "3"},
                    o, error))
      << error;
  EXPECT_EQ(o.link, "/x/com3");
  EXPECT_FALSE(o.pacing);
  EXPECT_TRUE(o.power_on_signal);
  EXPECT_EQ(o.flash_size, 0x20000u);
  EXPECT_EQ(o.power_off_ms, 2000u);
  EXPECT_EQ(o.faults.program_ms, 25u);
  EXPECT_TRUE(o.faults.reply[4].drop);
  EXPECT_TRUE(o.faults.reply[5].corrupt);
  EXPECT_EQ(o.faults.reply[6].delay_ms, 300u);
  EXPECT_EQ(o.faults.reply[7].split_gap_ms, 40u);
  EXPECT_EQ(o.faults.flip_write, 2u);
  EXPECT_EQ(o.faults.flip_bit, 13u);
  EXPECT_EQ(o.faults.resets_unanswered, 3u);
}

TEST(QuarvSimOptions, BadInputIsRefused) {
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
  for (const auto& args : cases) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(parse(args, o, error)) << (args.empty() ? "" : args.back());
    EXPECT_FALSE(error.empty());
  }
}

// A 13-byte link probe for 4 bytes at the flash base.
const std::vector<uint8_t> PROBE = {0x04, 0x2B, 0xF6, 0x08, 0, 0, 0, 0, 0, 0, 0x04, 0x4C, 0x9A};

struct WireFixture : ::testing::Test {
  SimWire wire;
  SimDevice device;
  void SetUp() override { sim_device_init(device, 64 * 1024, SimFaults{}); }
  uint64_t bytes_us(size_t n) { return static_cast<uint64_t>(n * sim_byte_us() + 0.5); }
};

TEST_F(WireFixture, PacedFrameIsTakenWhenItsLastByteArrivesAndAnsweredAtLineRate) {
  wire_receive(wire, PROBE.data(), PROBE.size(), 1000);
  const uint64_t arrived = 1000 + bytes_us(13);
  wire_deliver(wire, device, arrived - 1);
  EXPECT_TRUE(device.log.empty()) << "taken before its last byte crossed the line";
  wire_deliver(wire, device, arrived);
  ASSERT_EQ(device.log.size(), 1u);
  EXPECT_EQ(device.log[0].at_us, arrived);

  std::vector<uint8_t> out;
  wire_take_due(wire, arrived + bytes_us(15) - 1, out);
  EXPECT_TRUE(out.empty()) << "a reply leaves whole, once its 15 bytes have crossed the line";
  EXPECT_EQ(wire_next_due(wire), arrived + bytes_us(15));
  wire_take_due(wire, arrived + bytes_us(15), out);
  ASSERT_EQ(out.size(), 15u);
  uint16_t trailer = static_cast<uint16_t>(out[13] | out[14] << 8);
  EXPECT_EQ(frame_crc(out.data(), 13), trailer);
  EXPECT_EQ(wire_next_due(wire), UINT64_MAX);
}

TEST_F(WireFixture, BackToBackBurstsQueueBehindEachOther) {
  wire_receive(wire, PROBE.data(), 5, 0);
  wire_receive(wire, PROBE.data() + 5, 8, 10);  // read early: still behind the first part
  wire_deliver(wire, device, bytes_us(13) - 1);
  EXPECT_TRUE(device.log.empty());
  wire_deliver(wire, device, bytes_us(13));
  EXPECT_EQ(device.log.size(), 1u);
}

TEST_F(WireFixture, DelayedReplyHoldsBackTheNextAndUnsentBytesKeepTheirPlace) {
  device.faults.reply[1].delay_ms = 50;
  wire_receive(wire, PROBE.data(), PROBE.size(), 0);
  wire_receive(wire, PROBE.data(), PROBE.size(), 0);
  wire_deliver(wire, device, 1000000);
  ASSERT_EQ(wire.outbound.size(), 30u);
  for (size_t i = 1; i < wire.outbound.size(); ++i)
    EXPECT_GE(wire.outbound[i].at_us, wire.outbound[i - 1].at_us) << "byte " << i;
  EXPECT_GE(wire.outbound.front().at_us, 50000u);
  // The second reply is sent after the held-back first one, at line rate.
  EXPECT_EQ(wire.outbound.back().at_us, wire.outbound.front().at_us + bytes_us(15));

  std::vector<uint8_t> out;
  wire_take_due(wire, UINT64_MAX - 1, out);
  std::vector<uint8_t> expected = out;
  wire_unsend(wire, out.data() + 10, out.size() - 10, 0);  // the pty took only 10 bytes
  out.resize(10);
  wire_take_due(wire, 0, out);
  EXPECT_EQ(out, expected);
}

TEST_F(WireFixture, UnpacedWireAnswersAtOnce) {
  wire.pacing = false;
  wire_receive(wire, PROBE.data(), PROBE.size(), 7000);
  wire_deliver(wire, device, 7000);
  std::vector<uint8_t> out;
  wire_take_due(wire, 7000, out);
  EXPECT_EQ(out.size(), 15u);
}

TEST(QuarvSimLog, JsonLines) {
  EXPECT_EQ(sim_log_json({1234567, CMD_WRITE_BLOCK, 0x08000400, 1024, true}),
            "{\"time_ms\": 1234.567, \"command\": \"write\", \"code\": 245, "
            "\"address\": 134218752, \"length\": 1024, \"trailer_ok\": true}");
  EXPECT_EQ(sim_log_json({5, 0x42, 0, 13, false}),
            "{\"time_ms\": 0.005, \"command\": \"unknown\", \"code\": 66, "
            "\"address\": 0, \"length\": 13, \"trailer_ok\": false}");
  SimDevice device;
  sim_device_init(device, 4, SimFaults{});
  const uint8_t erased[] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(sim_exit_json(device), "{\"flash_crc\": " + std::to_string(frame_crc(erased, 4)) +
                                       ", \"flash_base\": 134217728, \"flash_size\": 4, "
                                       "\"requests\": 0, \"writes\": 0, \"restarts\": 0}");
}

}  // namespace
