// The firmware image the tool carries, padded to whole blocks and based at the flash start.
#pragma once
#include <cstdint>

struct UpdateJob;

// Largest resource length whose padded size still fits the job's signed 32-bit size.
enum : uint32_t { IMAGE_LENGTH_MAX = 0x7FFFFC00 };

// length rounded up to whole 1,024-byte blocks, and never less than one block.
int32_t padded_image_size(int32_t length);

// Copies length bytes into a newly allocated, zero-padded image of the job, sets its base
// address and traces base and size. False, with the job unchanged, when the length is too
// large or the allocation fails.
bool image_fill(UpdateJob& job, const uint8_t* bytes, uint32_t length);

// Fills the job's image from the executable's own "BINFILE" resource; a missing resource or
// a failed allocation is fatal.
void load_image(UpdateJob& job);
