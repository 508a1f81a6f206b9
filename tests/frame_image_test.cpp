// The engine's pieces alone: the checksum, reply acceptance and the image's padding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/frame.h"
#include "engine/image.h"
#include "tests/job_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes sealed(Bytes bytes) {
  const uint16_t crc = frame_crc(bytes.data(), static_cast<int32_t>(bytes.size()));
  bytes.push_back(static_cast<uint8_t>(crc));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

TEST(Frame, CheckValueAndReplyAcceptance) {
  EXPECT_EQ(frame_crc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x4B37);
  EXPECT_EQ(frame_crc(nullptr, 0), 0xFFFF);
  const Bytes four = sealed({0x04, 0x2B});
  struct Case {
    const char* what;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"the shortest reply: two bytes and their trailer", four, true},
      {"three bytes ending in the trailer of the first", sealed({0x04}), false},
      {"trailer byte order swapped", {0x04, 0x2B, four[3], four[2]}, false},
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

TEST(ImageFill, PadsToWholeBlocksWithZerosAndTracesUpToTheLargestLength) {
  for (uint32_t length : {0u, 1u, 1023u, 1024u, 1025u, 2012u}) {
    SCOPED_TRACE(length);
    const int32_t size = length <= 1024 ? 1024 : 2048;
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xFF - i % 7);
    UpdateJob job{};
    const size_t mark = trace_mark();
    ASSERT_TRUE(image_fill(job, bytes.data(), length));
    EXPECT_EQ(trace_since(mark), std::string("\nFlash Image Base 0x8000000\nFlash Image Size ") +
                                     (size == 1024 ? "0x400" : "0x800") + " bytes\n");
    bytes.resize(static_cast<size_t>(size), 0);
    EXPECT_EQ(std::vector<uint8_t>(job.image, job.image + job.image_size), bytes);
    free(job.image);
  }
  EXPECT_EQ(padded_image_size(static_cast<int32_t>(IMAGE_LENGTH_MAX)), 0x7FFFFC00);
  UpdateJob job{};
  EXPECT_FALSE(image_fill(job, nullptr, uint32_t{IMAGE_LENGTH_MAX} + 1));
  EXPECT_FALSE(image_fill(job, nullptr, 0xFFFFFFFFu));
  EXPECT_EQ(job.image, nullptr);
}

}  // namespace
