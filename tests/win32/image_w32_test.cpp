#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "engine/image.h"
#include "engine/update_job.h"
#include "ui/app.h"

namespace {

TEST(LoadImage, OwnResourceIsPaddedWithZerosAtTheFlashBase) {
  // The same file this test executable embeds as BINFILE, reached through Wine's Z: drive.
  std::ifstream file(QUARV_TEST_FIRMWARE, std::ios::binary);
  std::vector<uint8_t> expected{std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>()};
  ASSERT_FALSE(expected.empty()) << QUARV_TEST_FIRMWARE;
  app_instance = GetModuleHandleA(nullptr);
  UpdateJob job{};
  load_image(job);
  ASSERT_NE(job.image, nullptr);
  EXPECT_EQ(job.base_address, 0x08000000u);
  ASSERT_EQ(job.image_size, padded_image_size(static_cast<int32_t>(expected.size())));
  expected.resize(static_cast<size_t>(job.image_size), 0);
  EXPECT_EQ(std::vector<uint8_t>(job.image, job.image + job.image_size), expected);
}

}  // namespace
