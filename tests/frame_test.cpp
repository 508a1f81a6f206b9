#include "engine/frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/update_job.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FrameCrc, CheckValueAndEmptyInput) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(frame_crc(digits, 9), 0x4B37);
  EXPECT_EQ(frame_crc(digits, 0), 0xFFFF);
  EXPECT_EQ(frame_crc(digits, -5), 0xFFFF);
}

struct FrameFixture : ::testing::Test {
  uint8_t buffer[FRAME_CAPACITY + 1] = {};  // one spare byte, for a reply too long to accept
  UpdateJob job{};
  void SetUp() override {
    job.frame = buffer;
    job.target_address = 4;
  }
  Bytes built() const { return Bytes(buffer, buffer + job.frame_length); }
};

TEST_F(FrameFixture, WorkedExamplesByteForByte) {
  build_crc_query(job, 0x08000000, 4);
  EXPECT_EQ(built(), (Bytes{0x04, 0x2B, 0xF6, 0x08, 0, 0, 0, 0, 0, 0, 0x04, 0x4C, 0x9A}));
  build_crc_query(job, 0x08000000, 2048);
  EXPECT_EQ(built(), (Bytes{0x04, 0x2B, 0xF6, 0x08, 0, 0, 0, 0, 0, 0x08, 0x00, 0x4A, 0x99}));
  const uint8_t payload[] = {1, 2, 3, 4};
  build_write_block(job, 0x08000400, payload, 4);
  EXPECT_EQ(built(), (Bytes{0x04, 0x2B, 0xF5, 0x08, 0x00, 0x04, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03,
                            0x04, 0xAB, 0x12}));
  build_reset(job);
  EXPECT_EQ(built(), (Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
}

Bytes sealed(Bytes bytes) {
  const uint16_t crc = frame_crc(bytes.data(), static_cast<int32_t>(bytes.size()));
  bytes.push_back(static_cast<uint8_t>(crc));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

TEST_F(FrameFixture, ReplyAcceptance) {
  const Bytes four = sealed({0x04, 0x2B});
  struct Case {
    const char* what;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"exactly four bytes", four, true},
      {"trailer byte order swapped", {0x04, 0x2B, four[3], four[2]}, false},
      {"three bytes", {0x2B, four[2], four[3]}, false},
      {"nothing", {}, false},
      {"reset request as a reply", {0x04, 0x2B, 0xF7, 0x6F, 0x77}, true},
      {"first half of a split reply", {0x04, 0x2B, 0xF7}, false},
      {"second half of a split reply", {0x6F, 0x77}, false},
      {"a full buffer", sealed(Bytes(FRAME_CAPACITY - 2, 0x5A)), true},
      // Never read past the frame buffer, even for a count that would end in a good trailer.
      {"one byte more than the buffer", sealed(Bytes(FRAME_CAPACITY - 1, 0x5A)), false},
  };
  for (const Case& c : cases) {
    std::copy(c.bytes.begin(), c.bytes.end(), buffer);
    EXPECT_EQ(reply_is_valid(job, static_cast<int32_t>(c.bytes.size())), c.valid) << c.what;
  }
}

}  // namespace
