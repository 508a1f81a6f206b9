#include <windows.h>

#include "diag/fatal.h"
#include "engine/image.h"
#include "ui/app.h"

void load_image(UpdateJob& job) {
  HRSRC found = FindResourceA(nullptr, "BINFILE", RT_RCDATA);
  HGLOBAL loaded = found ? LoadResource(app_instance, found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) fatal_error("Firmware image BINFILE is missing from this program");
  DWORD length = SizeofResource(app_instance, found);
  if (!image_fill(job, static_cast<const uint8_t*>(bytes), length))
    fatal_error("Not enough memory for the firmware image");
}
