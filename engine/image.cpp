#include "engine/image.h"

#include <cstdlib>
#include <cstring>

#include "diag/trace.h"
#include "engine/update_job.h"

int32_t padded_image_size(int32_t length) {
  const int32_t block = BLOCK_SIZE;
  return ((length - 1) / block + 1) * block;
}

bool image_fill(UpdateJob& job, const uint8_t* bytes, uint32_t length) {
  if (length > IMAGE_LENGTH_MAX) return false;
  int32_t size = padded_image_size(static_cast<int32_t>(length));
  // Zeros, not the erased-flash 0xFF: the device's CRC covers the padding as written.
  auto* image = static_cast<uint8_t*>(calloc(static_cast<size_t>(size), 1));
  if (!image) return false;
  if (length) memcpy(image, bytes, length);
  job.image = image;
  job.image_size = size;
  job.base_address = FLASH_BASE;
  trace("\nFlash Image Base %#x\n", job.base_address);
  trace("Flash Image Size %#x bytes\n", static_cast<unsigned>(job.image_size));
  return true;
}
