#include "engine/frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/update_job.h"

namespace {

struct FrameFixture : ::testing::Test {
  uint8_t buffer[FRAME_CAPACITY] = {};
  UpdateJob job{};
  void SetUp() override {
    job.frame = buffer;
    job.target_address = 4;
    job.receive_capacity = FRAME_CAPACITY;
  }
  std::vector<uint8_t> built() const {
    return std::vector<uint8_t>(buffer, buffer + job.frame_length);
  }
  // Places bytes in the buffer as a read would.
  int32_t received(const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), buffer);
    return static_cast<int32_t>(bytes.size());
  }
};

TEST(FrameCrc, CheckValueAndEmptyInput) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(frame_crc(digits, 9), 0x4B37);
  EXPECT_EQ(frame_crc(digits, 0), 0xFFFF);
  EXPECT_EQ(frame_crc(digits, -5), 0xFFFF);
}

TEST_F(FrameFixture, WorkedExamplesByteForByte) {
  build_crc_query(job, 0x08000000, 4);
  EXPECT_EQ(built(),
            (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0, 0, 0, 0, 0, 0, 0x04, 0x4C, 0x9A}));
  build_crc_query(job, 0x08000000, 2048);
  EXPECT_EQ(built(),
            (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0, 0, 0, 0, 0, 0x08, 0x00, 0x4A, 0x99}));
  const uint8_t payload[] = {1, 2, 3, 4};
  build_write_block(job, 0x08000400, payload, 4);
  EXPECT_EQ(built(), (std::vector<uint8_t>{0x04, 0x2B, 0xF5, 0x08, 0x00, 0x04, 0x00, 0x00, 0x04,
                                           0x01, 0x02, 0x03, 0x04, 0xAB, 0x12}));
  build_reset(job);
  EXPECT_EQ(built(), (std::vector<uint8_t>{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
}

TEST_F(FrameFixture, OnlyTheLowByteOfTheTargetAddressIsSent) {
  job.target_address = 0x104;
  build_reset(job);
  EXPECT_EQ(built(), (std::vector<uint8_t>{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
}

TEST_F(FrameFixture, FullSizeWriteBlockFitsTheBuffer) {
  std::vector<uint8_t> payload(1024, 0xA5);
  build_write_block(job, 0x08000000, payload.data(), 1024);
  EXPECT_EQ(job.frame_length, 1035);
  EXPECT_EQ(buffer[7], 0x04);
  EXPECT_EQ(buffer[8], 0x00);
  EXPECT_TRUE(reply_is_valid(job, 1035));
}

TEST_F(FrameFixture, ReplyAcceptance) {
  const uint16_t crc2 = frame_crc(std::vector<uint8_t>{0x04, 0x2B}.data(), 2);
  const uint8_t lo = static_cast<uint8_t>(crc2), hi = static_cast<uint8_t>(crc2 >> 8);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool valid;
  } cases[] = {
      {"exactly four bytes", {0x04, 0x2B, lo, hi}, true},
      {"trailer byte order swapped", {0x04, 0x2B, hi, lo}, false},
      {"three bytes", {0x2B, lo, hi}, false},
      {"nothing", {}, false},
      {"reset request as a reply", {0x04, 0x2B, 0xF7, 0x6F, 0x77}, true},
      {"first half of a split reply", {0x04, 0x2B, 0xF7}, false},
      {"second half of a split reply", {0x6F, 0x77}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reply_is_valid(job, received(c.bytes)), c.valid) << c.what;
  }
}

TEST_F(FrameFixture, OversizedCountIsNeverValid) {
  // A count beyond the buffer cannot be a reply: never read past the frame buffer.
  EXPECT_FALSE(reply_is_valid(job, FRAME_CAPACITY + 1));
}

TEST_F(FrameFixture, RegionCrcIsBigEndianAtBytes11And12) {
  std::vector<uint8_t> reply(15, 0);
  reply[11] = 0xBE;
  reply[12] = 0xEF;
  received(reply);
  EXPECT_EQ(reply_region_crc(job), 0xBEEF);
}

}  // namespace
