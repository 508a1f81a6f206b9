// The resource tree of a PE file's .rsrc section, read into memory and written back out.
#pragma once
#include <string>

#include "stamp/bytes.h"

enum : uint32_t { RT_RCDATA_ID = 10, RT_VERSION_ID = 16 };

// A directory or a leaf (one language's data), with the entry name that leads to it.
struct ResourceNode {
  bool named = false;
  uint32_t id = 0;
  std::u16string name;
  bool directory = false;
  // Directory: its header fields as found, and its entries in their order.
  uint32_t characteristics = 0, time_stamp = 0, version = 0;
  std::vector<ResourceNode> children;
  // Leaf.
  Bytes data;
  uint32_t code_page = 0, reserved = 0;
};

// Reads the tree from the section's bytes; every data entry must lie within the section.
// Directories may be shared, so a small file can stand for a huge tree: budget is what the tree
// may hold in bytes (data, names, entries), and is left with what remains.
bool resource_parse(const uint8_t* section, size_t size, uint32_t section_rva, ResourceNode& root,
                    size_t& budget, std::string& error);

// The refusal of a template whose tree would exceed the budget.
std::string resource_over_budget(size_t limit);

// Lays the tree out afresh for a section at section_rva: directories, names, data entries,
// then the data, each blob 8-byte aligned. The same tree always gives the same bytes.
Bytes resource_build(const ResourceNode& root, uint32_t section_rva);

// The entry of dir with this id, or named so; null when there is none.
ResourceNode* resource_child(ResourceNode& dir, uint32_t id);
ResourceNode* resource_child(ResourceNode& dir, const std::u16string& name);
