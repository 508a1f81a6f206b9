// The version resource (VS_VERSIONINFO): a tree of keyed values, read and written back.
#pragma once
#include <string>

#include "stamp/bytes.h"

struct VersionNode {
  std::u16string key;
  uint32_t type = 0;  // 1: the value is text
  Bytes value;        // as stored: text in UTF-16 with its terminator
  std::vector<VersionNode> children;
};

bool version_parse(const Bytes& data, VersionNode& root, std::string& error);
// Laid out as the resource compiler lays it out: lengths without the trailing padding.
Bytes version_build(const VersionNode& root);

// The string values of that key in every string table.
std::vector<VersionNode*> version_strings(VersionNode& root, const std::u16string& key);
std::u16string version_text(const VersionNode& node);
void version_set_text(VersionNode& node, const std::u16string& text);
