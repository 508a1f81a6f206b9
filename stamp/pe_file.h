// A Windows executable (the 32-bit updater, or its 64-bit twin) whose resource section is
// rewritten: the sections before it stay where they are, those after it (base relocations only)
// move with its new size.
#pragma once
#include <string>

#include "stamp/bytes.h"

struct PeSection {
  size_t header_at;
  uint32_t virtual_size, rva, raw_size, raw_at;
};

struct PeFile {
  size_t optional_at;
  size_t directories_at;  // the data directories, where PE32 or PE32+ puts them
  uint32_t file_alignment, section_alignment;
  std::vector<PeSection> sections;
  size_t resources;  // index of the section holding the resource tree
  bool signed_file;  // a certificate table follows the last section; stamping drops it
};

// Checks the file is a PE32 (i386) or PE32+ (x86-64) exe laid out as the updater's build lays it
// out; false with the reason otherwise (another kind, a DLL, no resources, data after the last
// section, a damaged certificate table). A signature is no reason: the stamped copy drops it.
bool pe_parse(const Bytes& file, PeFile& pe, std::string& error);

// The file with the resource section's contents replaced by rsrc (built for its unchanged RVA),
// the following sections moved, and the headers and checksum made to agree; without the
// certificate table, which signed the old contents.
Bytes pe_with_resources(const Bytes& file, const PeFile& pe, const Bytes& rsrc);

// The optional header's checksum of a whole file, as the Windows loader checks it for drivers.
uint32_t pe_checksum(const Bytes& file, size_t checksum_at);
