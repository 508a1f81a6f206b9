#include "engine/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diag/trace.h"
#include "engine/update_job.h"

namespace {

TEST(PaddedImageSize, WholeBlocksAndNeverEmpty) {
  const int32_t cases[][2] = {{0, 1024},    {1, 1024},
                              {1023, 1024}, {1024, 1024},
                              {1025, 2048}, {2012, 2048},
                              {4096, 4096}, {static_cast<int32_t>(IMAGE_LENGTH_MAX), 0x7FFFFC00}};
  for (const auto& c : cases) EXPECT_EQ(padded_image_size(c[0]), c[1]) << "length " << c[0];
}

std::string traced_by(UpdateJob& job, const std::vector<uint8_t>& bytes, bool* filled) {
  FILE* sink = tmpfile();
  trace_to(sink);
  *filled = image_fill(job, bytes.data(), static_cast<uint32_t>(bytes.size()));
  trace_to(nullptr);
  std::string text(200, '\0');
  rewind(sink);
  text.resize(fread(&text[0], 1, text.size(), sink));
  fclose(sink);
  return text;
}

TEST(ImageFill, CopiesPadsWithZerosAndTraces) {
  struct Case {
    size_t length;
    int32_t size;
    const char* trace;
  } cases[] = {
      {2012, 2048, "\nFlash Image Base 0x8000000\nFlash Image Size 0x800 bytes\n"},
      {1024, 1024, "\nFlash Image Base 0x8000000\nFlash Image Size 0x400 bytes\n"},
      {0, 1024, "\nFlash Image Base 0x8000000\nFlash Image Size 0x400 bytes\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> bytes(c.length);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xFF - i % 7);
    UpdateJob job{};
    bool filled = false;
    EXPECT_EQ(traced_by(job, bytes, &filled), c.trace);
    ASSERT_TRUE(filled);
    EXPECT_EQ(job.image_size, c.size);
    EXPECT_EQ(job.base_address, 0x08000000u);
    std::vector<uint8_t> image(job.image, job.image + job.image_size);
    bytes.resize(static_cast<size_t>(c.size), 0);
    EXPECT_EQ(image, bytes);
    free(job.image);
  }
}

TEST(ImageFill, RefusesALengthWhosePaddedSizeWouldOverflow) {
  UpdateJob job{};
  EXPECT_FALSE(image_fill(job, nullptr, IMAGE_LENGTH_MAX + 1));
  EXPECT_FALSE(image_fill(job, nullptr, 0xFFFFFFFFu));
  EXPECT_EQ(job.image, nullptr);
  EXPECT_EQ(job.image_size, 0);
}

}  // namespace
