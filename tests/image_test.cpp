#include "engine/image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/job_harness.h"

namespace {

TEST(ImageFill, PadsToWholeBlocksWithZerosAndTraces) {
  for (uint32_t length : {0u, 1u, 1023u, 1024u, 1025u, 2012u}) {
    SCOPED_TRACE(length);
    const int32_t size = length <= 1024 ? 1024 : 2048;
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xFF - i % 7);
    UpdateJob job{};
    const long mark = trace_mark();
    ASSERT_TRUE(image_fill(job, bytes.data(), length));
    EXPECT_EQ(trace_since(mark), std::string("\nFlash Image Base 0x8000000\nFlash Image Size ") +
                                     (size == 1024 ? "0x400" : "0x800") + " bytes\n");
    EXPECT_EQ(job.base_address, 0x08000000u);
    bytes.resize(static_cast<size_t>(size), 0);
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
}

}  // namespace
