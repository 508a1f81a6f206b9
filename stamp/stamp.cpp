#include "stamp/stamp.h"

#include <algorithm>
#include <cstdio>

#include "engine/frame.h"
#include "engine/image.h"
#include "stamp/pe_file.h"
#include "stamp/resource_tree.h"
#include "stamp/version_info.h"

namespace {

// A name is UTF-8 when it decodes as such; otherwise each byte stands for itself.
std::u16string widen(const std::string& text) {
  std::u16string wide;
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<uint8_t>(text[i]);
    int extra = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
    uint32_t code = extra ? byte & (0x3F >> extra) : byte;
    bool valid = byte < 0x80 || (byte >= 0xC2 && byte <= 0xF4 && i + extra < text.size());
    for (int k = 1; valid && k <= extra; ++k) {
      auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    if (!valid) {
      std::u16string latin;
      for (char c : text) latin += static_cast<char16_t>(static_cast<uint8_t>(c));
      return latin;
    }
    if (code >= 0x10000) {
      wide += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      wide += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      wide += static_cast<char16_t>(code);
    }
    i += 1 + extra;
  }
  return wide;
}

std::u16string ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool set_firmware_values(ResourceNode& tree, const FirmwareFields& fields, std::string& error) {
  ResourceNode* versions = resource_child(tree, RT_VERSION_ID);
  if (!versions || versions->children.empty()) {
    error = "is not the Quarv updater: it has no version resource";
    return false;
  }
  char crc[8];
  snprintf(crc, sizeof crc, "0x%04x", fields.crc);
  const std::u16string name = widen(fields.name), size = ascii(std::to_string(fields.size));
  for (ResourceNode& version_name : versions->children)
    for (ResourceNode& language : version_name.children) {
      VersionNode root;
      if (language.directory || !version_parse(language.data, root, error)) {
        error = "is not the Quarv updater: its version resource is damaged";
        return false;
      }
      auto file_version = version_strings(root, u"FileVersion");
      auto product_version = version_strings(root, u"ProductVersion");
      auto file = version_strings(root, u"FirmwareFile"),
           bytes = version_strings(root, u"FirmwareSize"),
           check = version_strings(root, u"FirmwareCRC");
      if (file_version.size() != 1 || product_version.size() != 1 || file.size() != 1 ||
          bytes.size() != 1 || check.size() != 1) {
        error =
            "is not an updater this quarv-stamp can stamp: its version resource has no firmware "
            "fields";
        return false;
      }
      version_set_text(*product_version[0], version_text(*file_version[0]) + u" with firmware " +
                                                name + u", " + size + u" bytes, CRC " + ascii(crc));
      version_set_text(*file[0], name);
      version_set_text(*bytes[0], size);
      version_set_text(*check[0], ascii(crc));
      language.data = version_build(root);
    }
  return true;
}

}  // namespace

FirmwareFields firmware_fields(const std::string& path, const Bytes& image) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  Bytes padded(static_cast<size_t>(padded_image_size(static_cast<int32_t>(image.size()))), 0);
  std::copy(image.begin(), image.end(), padded.begin());
  return {name, image.size(), frame_crc(padded.data(), static_cast<int32_t>(padded.size()))};
}

bool stamp_updater(const Bytes& exe, const Bytes& image, const FirmwareFields& fields, Bytes& out,
                   bool& signature_dropped, std::string& error) {
  PeFile pe;
  if (!pe_parse(exe, pe, error)) return false;
  signature_dropped = pe.signed_file;
  const PeSection& section = pe.sections[pe.resources];
  ResourceNode tree;
  size_t size =
      section.virtual_size ? std::min(section.virtual_size, section.raw_size) : section.raw_size;
  // Whatever the template, the work stays in proportion to what was given.
  const size_t limit = 4 * (exe.size() + image.size());
  size_t budget = limit;
  error.clear();
  if (!resource_parse(exe.data() + section.raw_at, size, section.rva, tree, budget, error)) {
    if (error.empty()) error = resource_over_budget(limit);
    return false;
  }
  ResourceNode* data = resource_child(tree, RT_RCDATA_ID);
  ResourceNode* binfile = data ? resource_child(*data, u"BINFILE") : nullptr;
  if (!binfile || !binfile->directory || binfile->children.empty()) {
    error = "is not the Quarv updater: it has no BINFILE resource";
    return false;
  }
  if (binfile->children.size() > budget / std::max<size_t>(image.size(), 1)) {
    error = resource_over_budget(limit);
    return false;
  }
  for (ResourceNode& language : binfile->children) language.data = image;
  if (!set_firmware_values(tree, fields, error)) return false;
  out = pe_with_resources(exe, pe, resource_build(tree, section.rva));
  return true;
}
