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

Bytes sealed(Bytes bytes) {
  const uint16_t crc = frame_crc(bytes.data(), static_cast<int32_t>(bytes.size()));
  bytes.push_back(static_cast<uint8_t>(crc));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

TEST(Frame, ReplyAcceptance) {
  const Bytes four = sealed({0x04, 0x2B});
  struct Case {
    const char* what;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"the shortest reply: two bytes and their trailer", four, true},
      {"three bytes ending in the trailer of the first", sealed({0x04}), false},
      {"trailer byte order swapped", {0x04, 0x2B, four[3], four[2]}, false},
      {"nothing", {}, false},
      {"first half of a split reply", {0x04, 0x2B, 0xF7, 0x6F}, false},
      {"a full buffer", sealed(Bytes(FRAME_CAPACITY - 2, 0x5A)), true},
      // Never read past the frame buffer, even for a count that would end in a good trailer.
      {"one byte more than the buffer", sealed(Bytes(FRAME_CAPACITY - 1, 0x5A)), false},
  };
  uint8_t buffer[FRAME_CAPACITY + 1] = {};
  UpdateJob job{};
  job.frame = buffer;
  for (const Case& c : cases) {
    std::copy(c.bytes.begin(), c.bytes.end(), buffer);
    EXPECT_EQ(reply_is_valid(job, static_cast<int32_t>(c.bytes.size())), c.valid) << c.what;
  }
}

}  // namespace
