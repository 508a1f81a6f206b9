#include "engine/image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/job_harness.h"

namespace {

TEST(ImageFill, PadsToWholeBlocksWithZerosAndTraces) {
  struct Case {
    uint32_t length;
    int32_t size;
    const char* size_hex;
  } cases[] = {{0, 1024, "0x400"},    {1, 1024, "0x400"},    {1023, 1024, "0x400"},
               {1024, 1024, "0x400"}, {1025, 2048, "0x800"}, {2012, 2048, "0x800"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> bytes(c.length);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xFF - i % 7);
    UpdateJob job{};
    const long mark = trace_mark();
    ASSERT_TRUE(image_fill(job, bytes.data(), c.length));
    EXPECT_EQ(trace_since(mark), std::string("\nFlash Image Base 0x8000000\nFlash Image Size ") +
                                     c.size_hex + " bytes\n");
    EXPECT_EQ(job.image_size, c.size);
    EXPECT_EQ(job.base_address, 0x08000000u);
    bytes.resize(static_cast<size_t>(c.size), 0);
    EXPECT_EQ(std::vector<uint8_t>(job.image, job.image + job.image_size), bytes);
    free(job.image);
  }
}

TEST(ImageFill, LargestLengthFitsAndALargerOneIsRefused) {
  EXPECT_EQ(padded_image_size(static_cast<int32_t>(IMAGE_LENGTH_MAX)), 0x7FFFFC00);
  UpdateJob job{};
  EXPECT_FALSE(image_fill(job, nullptr, uint32_t{IMAGE_LENGTH_MAX} + 1));
  EXPECT_FALSE(image_fill(job, nullptr, 0xFFFFFFFFu));
  EXPECT_EQ(job.image, nullptr);
  EXPECT_EQ(job.image_size, 0);
}

}  // namespace
