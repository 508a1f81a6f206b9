#include "stamp/resource_tree.h"

#include <map>

namespace {

enum : uint32_t {
  SUBDIRECTORY = 0x80000000,
  NAME_IS_STRING = 0x80000000,
  NODES_MAX = 65536,
};

struct Reader {
  const uint8_t* section;
  size_t size;
  uint32_t rva;
  std::string& error;
  size_t& budget;
  size_t nodes = 0;  // entries may share a directory: the bound keeps a crafted tree small
};

// What one entry costs beyond its data and name: its node, counted generously.
const size_t ENTRY_COST = 64;

bool charge(Reader& reader, size_t bytes) {
  if (bytes <= reader.budget) {
    reader.budget -= bytes;
    return true;
  }
  reader.error = "";  // the caller names the limit
  return false;
}

const int DEPTH_MAX = 8;

bool fail(Reader& reader, const std::string& what) {
  reader.error = "has a damaged resource tree: " + what;
  return false;
}

bool parse_directory(Reader& reader, size_t at, int depth, ResourceNode& dir) {
  if (depth > DEPTH_MAX) return fail(reader, "directories nested too deep");
  if (at + 16 > reader.size) return fail(reader, "a directory outside the section");
  const uint8_t* header = reader.section + at;
  dir.directory = true;
  dir.characteristics = get32(header);
  dir.time_stamp = get32(header + 4);
  dir.version = get32(header + 8);
  size_t count = get16(header + 12) + get16(header + 14);
  if (at + 16 + 8 * count > reader.size) return fail(reader, "entries outside the section");
  reader.nodes += count;
  if (reader.nodes > NODES_MAX) return fail(reader, "too many entries");
  if (!charge(reader, ENTRY_COST * count)) return false;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = header + 16 + 8 * i;
    ResourceNode child;
    uint32_t name = get32(entry), target = get32(entry + 4);
    if (name & NAME_IS_STRING) {
      size_t text = name & ~NAME_IS_STRING;
      if (text + 2 > reader.size || text + 2 + 2 * get16(reader.section + text) > reader.size)
        return fail(reader, "a name outside the section");
      child.named = true;
      if (!charge(reader, 2 * get16(reader.section + text))) return false;
      for (size_t c = 0; c < get16(reader.section + text); ++c)
        child.name += static_cast<char16_t>(get16(reader.section + text + 2 + 2 * c));
    } else {
      child.id = name;
    }
    if (target & SUBDIRECTORY) {
      if (!parse_directory(reader, target & ~SUBDIRECTORY, depth + 1, child)) return false;
    } else {
      if (target + 16 > reader.size) return fail(reader, "a data entry outside the section");
      const uint8_t* leaf = reader.section + target;
      uint64_t data_rva = get32(leaf), length = get32(leaf + 4);
      if (data_rva < reader.rva || data_rva - reader.rva + length > reader.size)
        return fail(reader, "resource data outside the section");
      if (!charge(reader, static_cast<size_t>(length))) return false;
      const uint8_t* data = reader.section + (data_rva - reader.rva);
      child.data.assign(data, data + length);
      child.code_page = get32(leaf + 8);
      child.reserved = get32(leaf + 12);
    }
    dir.children.push_back(std::move(child));
  }
  return true;
}

void add_directories(const ResourceNode& dir, std::vector<const ResourceNode*>& dirs) {
  for (const ResourceNode& child : dir.children)
    if (child.directory) {
      dirs.push_back(&child);
      add_directories(child, dirs);
    }
}

}  // namespace

std::string resource_over_budget(size_t limit) {
  return "has resources that would make quarv-stamp handle more than " + std::to_string(limit) +
         " bytes (four times the template and the image together): its resource directories "
         "share their data over and over, as no updater's do";
}

bool resource_parse(const uint8_t* section, size_t size, uint32_t section_rva, ResourceNode& root,
                    size_t& budget, std::string& error) {
  Reader reader{section, size, section_rva, error, budget};
  root = ResourceNode{};
  return parse_directory(reader, 0, 0, root);
}

Bytes resource_build(const ResourceNode& root, uint32_t section_rva) {
  // The order GNU ld gives them: the root, then each type's directories depth first; the data
  // follows in the same order, so a tree read from the build's exe is written back as it was.
  std::vector<const ResourceNode*> dirs{&root};
  add_directories(root, dirs);
  std::map<const ResourceNode*, size_t> placed, text_at, data_at;
  size_t at = 0;
  for (const ResourceNode* dir : dirs) {
    placed[dir] = at;
    at += 16 + 8 * dir->children.size();
  }
  for (const ResourceNode* dir : dirs)
    for (const ResourceNode& child : dir->children)
      if (child.named) {
        text_at[&child] = at;
        at += 2 + 2 * child.name.size();
      }
  at = align_up(at, 4);
  std::vector<const ResourceNode*> leaves;
  for (const ResourceNode* dir : dirs)
    for (const ResourceNode& child : dir->children)
      if (!child.directory) {
        placed[&child] = at;
        at += 16;
        leaves.push_back(&child);
      }
  for (const ResourceNode* leaf : leaves) {
    at = align_up(at, 8);
    data_at[leaf] = at;
    at += leaf->data.size();
  }

  Bytes out(align_up(at, 8), 0);
  for (const ResourceNode* dir : dirs) {
    uint8_t* header = out.data() + placed[dir];
    put32(header, dir->characteristics);
    put32(header + 4, dir->time_stamp);
    put32(header + 8, dir->version);
    uint32_t named = 0;
    for (const ResourceNode& child : dir->children) named += child.named;
    put16(header + 12, named);
    put16(header + 14, static_cast<uint32_t>(dir->children.size()) - named);
    uint8_t* entry = header + 16;
    for (const ResourceNode& child : dir->children) {
      if (child.named) {
        size_t text = text_at[&child];
        put32(entry, NAME_IS_STRING | static_cast<uint32_t>(text));
        put16(out.data() + text, static_cast<uint32_t>(child.name.size()));
        for (size_t c = 0; c < child.name.size(); ++c)
          put16(out.data() + text + 2 + 2 * c, child.name[c]);
      } else {
        put32(entry, child.id);
      }
      put32(entry + 4, static_cast<uint32_t>(placed[&child]) |
                           (child.directory ? uint32_t{SUBDIRECTORY} : 0u));
      entry += 8;
    }
  }
  for (const ResourceNode* leaf : leaves) {
    uint8_t* entry = out.data() + placed[leaf];
    put32(entry, section_rva + static_cast<uint32_t>(data_at[leaf]));
    put32(entry + 4, static_cast<uint32_t>(leaf->data.size()));
    put32(entry + 8, leaf->code_page);
    put32(entry + 12, leaf->reserved);
    if (!leaf->data.empty())
      std::copy(leaf->data.begin(), leaf->data.end(), out.begin() + data_at[leaf]);
  }
  return out;
}

ResourceNode* resource_child(ResourceNode& dir, uint32_t id) {
  for (ResourceNode& child : dir.children)
    if (!child.named && child.id == id) return &child;
  return nullptr;
}

ResourceNode* resource_child(ResourceNode& dir, const std::u16string& name) {
  for (ResourceNode& child : dir.children)
    if (child.named && child.name == name) return &child;
  return nullptr;
}
