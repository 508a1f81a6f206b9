// A 32-bit Windows executable whose resource section is rewritten: the sections before it stay
// where they are, those after it (base relocations only) move with its new size.
#pragma once
#include <string>

#include "stamp/bytes.h"

struct PeSection {
  size_t header_at;
  uint32_t virtual_size, rva, raw_size, raw_at;
};

struct PeFile {
  size_t optional_at;
  uint32_t file_alignment, section_alignment;
  std::vector<PeSection> sections;
  size_t resources;  // index of the section holding the resource tree
};

// Checks the file is a PE32 exe laid out as the updater's build lays it out; false with the
// reason otherwise (not PE32, a DLL, signed, no resources, data after the last section).
bool pe_parse(const Bytes& file, PeFile& pe, std::string& error);

// The file with the resource section's contents replaced by rsrc (built for its unchanged RVA),
// the following sections moved, and the headers and checksum made to agree.
Bytes pe_with_resources(const Bytes& file, const PeFile& pe, const Bytes& rsrc);

// The optional header's checksum of a whole file, as the Windows loader checks it for drivers.
uint32_t pe_checksum(const Bytes& file, size_t checksum_at);
