#include "stamp/pe_file.h"

#include <algorithm>

namespace {

enum : uint32_t {
  MACHINE_I386 = 0x14C,
  MACHINE_AMD64 = 0x8664,
  PE32_MAGIC = 0x10B,
  PE32_PLUS_MAGIC = 0x20B,
  FILE_EXECUTABLE = 0x0002,
  FILE_DLL = 0x2000,
  DIR_RESOURCE = 2,
  DIR_SECURITY = 4,
  DIR_RELOCATIONS = 5,
  // Offsets in the optional header.
  OPT_INITIALIZED_DATA = 8,
  OPT_SECTION_ALIGNMENT = 32,
  OPT_FILE_ALIGNMENT = 36,
  OPT_IMAGE_SIZE = 56,
  OPT_CHECKSUM = 64,
  // PE32+ (the 64-bit twin) widens the image base and the stack and heap sizes, which moves the
  // data directories 16 bytes further.
  OPT_DIRECTORY_COUNT = 92,
  OPT_DIRECTORIES = 96,
  OPT_PLUS_SHIFT = 16,
};

size_t directory_at(const PeFile& pe, uint32_t index) { return pe.directories_at + 8 * index; }

}  // namespace

bool pe_parse(const Bytes& file, PeFile& pe, std::string& error) {
  const uint8_t* data = file.data();
  size_t pe_at = file.size() >= 64 ? get32(data + 0x3C) : 0;
  if (file.size() < 64 || data[0] != 'M' || data[1] != 'Z' || pe_at + 24 > file.size() ||
      get32(data + pe_at) != 0x4550) {
    error = "is not a Windows executable (no PE header)";
    return false;
  }
  const uint8_t* coff = data + pe_at + 4;
  pe.optional_at = pe_at + 24;
  size_t optional_size = get16(coff + 16);
  size_t table_at = pe.optional_at + optional_size;
  size_t count = get16(coff + 2);
  uint16_t machine = get16(coff);
  uint16_t magic = pe.optional_at + 2 <= file.size() ? get16(data + pe.optional_at) : 0;
  size_t shift = magic == PE32_PLUS_MAGIC ? size_t{OPT_PLUS_SHIFT} : 0;
  bool known = (machine == MACHINE_I386 && magic == PE32_MAGIC) ||
               (machine == MACHINE_AMD64 && magic == PE32_PLUS_MAGIC);
  if (!known || optional_size < OPT_DIRECTORIES + shift + 8 * 6 ||
      table_at + 40 * count > file.size()) {
    error =
        "is not a Windows executable of the updater's kind (PE32 for i386, or PE32+ for x86-64)";
    return false;
  }
  pe.directories_at = pe.optional_at + OPT_DIRECTORIES + shift;
  if ((get16(coff + 18) & (FILE_EXECUTABLE | FILE_DLL)) != FILE_EXECUTABLE) {
    error = "is not a Windows program (.exe) but a library or an object file";
    return false;
  }
  const uint8_t* optional = data + pe.optional_at;
  if (get32(optional + OPT_DIRECTORY_COUNT + shift) <= DIR_RELOCATIONS) {
    error = "is not a Windows executable of the usual form (too few data directories)";
    return false;
  }
  uint32_t resource_rva = get32(data + directory_at(pe, DIR_RESOURCE));
  uint32_t relocation_rva = get32(data + directory_at(pe, DIR_RELOCATIONS));
  pe.file_alignment = get32(optional + OPT_FILE_ALIGNMENT);
  pe.section_alignment = get32(optional + OPT_SECTION_ALIGNMENT);
  if (pe.file_alignment == 0 || pe.section_alignment == 0) {
    error = "is not a Windows executable of the usual form (no alignment)";
    return false;
  }
  pe.sections.clear();
  pe.resources = count;
  size_t file_end = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* header = data + table_at + 40 * i;
    PeSection section{table_at + 40 * i, get32(header + 8), get32(header + 12), get32(header + 16),
                      get32(header + 20)};
    if (uint64_t{section.raw_at} + section.raw_size > file.size()) {
      error = "is cut short: a section lies beyond the end of the file";
      return false;
    }
    if (section.raw_size) file_end = std::max<size_t>(file_end, section.raw_at + section.raw_size);
    if (resource_rva && section.rva == resource_rva) pe.resources = i;
    pe.sections.push_back(section);
  }
  if (pe.resources == count) {
    error = "is not the Quarv updater: it has no resource section";
    return false;
  }
  // What follows the resources must be free to move: only base relocations, which nothing
  // else points into, and nothing after the last section (a signature, a symbol table).
  for (size_t i = pe.resources + 1; i < count; ++i)
    if (pe.sections[i].rva != relocation_rva || pe.sections[i].raw_at < pe.sections[i - 1].raw_at) {
      error =
          "is not laid out as the updater's build lays it out (a section other than the base "
          "relocations follows the resources)";
      return false;
    }
  // A signature signs the old image, so the stamped copy goes without it; but only a table
  // where signing puts one (after the sections, to the end of the file) is taken for one.
  uint64_t certificates_at = get32(data + directory_at(pe, DIR_SECURITY));
  uint64_t certificates_size = get32(data + directory_at(pe, DIR_SECURITY) + 4);
  pe.signed_file = certificates_size != 0;
  uint64_t contents_end = file.size();
  if (pe.signed_file) {
    error = certificates_at + certificates_size > file.size() ? "lies beyond the end of the file"
            : certificates_at < file_end                      ? "overlaps its headers or a section"
            : certificates_at + certificates_size < file.size() ? "is not at the end of the file"
                                                                : "";
    if (!error.empty()) {
      error = "is damaged: its certificate table " + error;
      return false;
    }
    // Signing pads the last section's end to a multiple of 8 bytes first.
    contents_end = certificates_at - file_end < 8 ? file_end : certificates_at;
  }
  if (file_end != contents_end) {
    error = "carries data after its last section, which stamping would lose";
    return false;
  }
  return true;
}

Bytes pe_with_resources(const Bytes& file, const PeFile& pe, const Bytes& rsrc) {
  const PeSection& old = pe.sections[pe.resources];
  Bytes out(file.begin(), file.begin() + old.raw_at);
  out.insert(out.end(), rsrc.begin(), rsrc.end());
  out.resize(align_up(out.size(), pe.file_alignment), 0);
  uint32_t raw_size = static_cast<uint32_t>(out.size() - old.raw_at);
  int64_t raw_growth = int64_t{raw_size} - old.raw_size;
  put32(out.data() + old.header_at + 8, static_cast<uint32_t>(rsrc.size()));
  put32(out.data() + old.header_at + 16, raw_size);
  put32(out.data() + directory_at(pe, DIR_RESOURCE) + 4, static_cast<uint32_t>(rsrc.size()));
  if (pe.signed_file) {
    put32(out.data() + directory_at(pe, DIR_SECURITY), 0);
    put32(out.data() + directory_at(pe, DIR_SECURITY) + 4, 0);
  }

  uint32_t next_rva = static_cast<uint32_t>(align_up(old.rva + rsrc.size(), pe.section_alignment));
  for (size_t i = pe.resources + 1; i < pe.sections.size(); ++i) {
    const PeSection& moved = pe.sections[i];
    put32(out.data() + moved.header_at + 12, next_rva);
    put32(out.data() + moved.header_at + 20,
          moved.raw_size ? static_cast<uint32_t>(out.size()) : 0);
    put32(out.data() + directory_at(pe, DIR_RELOCATIONS), next_rva);
    out.insert(out.end(), file.begin() + moved.raw_at,
               file.begin() + moved.raw_at + moved.raw_size);
    next_rva = static_cast<uint32_t>(align_up(next_rva + moved.virtual_size, pe.section_alignment));
  }
  uint8_t* optional = out.data() + pe.optional_at;
  put32(optional + OPT_IMAGE_SIZE, next_rva);
  put32(optional + OPT_INITIALIZED_DATA,
        static_cast<uint32_t>(get32(optional + OPT_INITIALIZED_DATA) + raw_growth));
  put32(optional + OPT_CHECKSUM, pe_checksum(out, pe.optional_at + OPT_CHECKSUM));
  return out;
}

uint32_t pe_checksum(const Bytes& file, size_t checksum_at) {
  uint64_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    if (i == checksum_at || i == checksum_at + 2) continue;
    sum += file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + file.size());
}
