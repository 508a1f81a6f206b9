// quarv-stamp: a copy of the updater that carries another firmware image.
#pragma once
#include <string>

#include "stamp/bytes.h"

// What the version resource says of the firmware.
struct FirmwareFields {
  std::string name;  // the file's name without its directory and its last extension
  size_t size;       // the image's bytes as embedded, before padding
  uint16_t crc;      // CRC-16/MODBUS of the padded image, as the device reports it
};

FirmwareFields firmware_fields(const std::string& path, const Bytes& image);

// The updater template with BINFILE replaced by image and the version resource's firmware values
// set; every other resource is kept byte for byte. A signed template gives what its unsigned
// self would, and signature_dropped says so. False with the reason the template is refused.
bool stamp_updater(const Bytes& exe, const Bytes& image, const FirmwareFields& fields, Bytes& out,
                   bool& signature_dropped, std::string& error);
