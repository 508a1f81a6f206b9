#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "engine/image.h"
#include "engine/update_job.h"
#include "ui/app.h"

namespace {

// The same file this test executable embeds as BINFILE, reached through Wine's Z: drive.
std::vector<uint8_t> firmware_file() {
  std::vector<uint8_t> bytes;
  FILE* file = fopen(QUARV_TEST_FIRMWARE, "rb");
  if (!file) return bytes;
  int c;
  while ((c = fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  fclose(file);
  return bytes;
}

TEST(LoadImage, OwnResourceIsPaddedWithZerosAtTheFlashBase) {
  std::vector<uint8_t> expected = firmware_file();
  ASSERT_FALSE(expected.empty()) << QUARV_TEST_FIRMWARE;
  app_instance = GetModuleHandleA(nullptr);
  UpdateJob job{};
  load_image(job);
  ASSERT_NE(job.image, nullptr);
  EXPECT_EQ(job.base_address, 0x08000000u);
  EXPECT_EQ(job.image_size, padded_image_size(static_cast<int32_t>(expected.size())));
  std::vector<uint8_t> head(job.image, job.image + expected.size());
  EXPECT_EQ(head, expected);
  for (int32_t i = static_cast<int32_t>(expected.size()); i < job.image_size; ++i)
    ASSERT_EQ(job.image[i], 0) << "at " << i;
}

}  // namespace
