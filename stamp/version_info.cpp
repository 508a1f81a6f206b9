#include "stamp/version_info.h"

namespace {

bool parse_node(const Bytes& data, size_t at, size_t end, int depth, VersionNode& node) {
  if (depth > 4 || at + 6 > end) return false;
  size_t length = get16(data.data() + at), value_length = get16(data.data() + at + 2);
  node.type = get16(data.data() + at + 4);
  if (length < 6 || at + length > end) return false;
  end = at + length;
  size_t p = at + 6;
  for (; p + 2 <= end && get16(data.data() + p) != 0; p += 2)
    node.key += static_cast<char16_t>(get16(data.data() + p));
  if (p + 2 > end) return false;
  p = align_up(p + 2 - at, 4) + at;
  size_t value_size = node.type == 1 ? 2 * value_length : value_length;
  if (value_size) {
    if (p + value_size > end) return false;
    node.value.assign(data.begin() + p, data.begin() + p + value_size);
    p = align_up(p + value_size - at, 4) + at;
  }
  while (p < end) {
    VersionNode child;
    if (!parse_node(data, p, end, depth + 1, child)) return false;
    p = align_up(p + get16(data.data() + p) - at, 4) + at;
    node.children.push_back(std::move(child));
  }
  return true;
}

void build_node(const VersionNode& node, Bytes& out) {
  size_t at = out.size();
  out.resize(at + 6);
  uint32_t value_length =
      static_cast<uint32_t>(node.type == 1 ? node.value.size() / 2 : node.value.size());
  put16(out.data() + at + 2, value_length);
  put16(out.data() + at + 4, node.type);
  for (char16_t c : node.key)
    out.insert(out.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  out.insert(out.end(), {0, 0});
  if (!node.value.empty()) {
    out.resize(at + align_up(out.size() - at, 4));
    out.insert(out.end(), node.value.begin(), node.value.end());
  }
  for (const VersionNode& child : node.children) {
    out.resize(at + align_up(out.size() - at, 4));
    build_node(child, out);
  }
  put16(out.data() + at, static_cast<uint32_t>(out.size() - at));
}

// VS_VERSIONINFO > StringFileInfo > string table > string.
void find_strings(VersionNode& node, const std::u16string& key, int depth,
                  std::vector<VersionNode*>& found) {
  if (depth == 3) {
    if (node.key == key) found.push_back(&node);
    return;
  }
  if (depth == 1 && node.key != u"StringFileInfo") return;
  for (VersionNode& child : node.children) find_strings(child, key, depth + 1, found);
}

}  // namespace

bool version_parse(const Bytes& data, VersionNode& root, std::string& error) {
  root = VersionNode{};
  if (!parse_node(data, 0, data.size(), 0, root) || root.key != u"VS_VERSION_INFO") {
    error = "its version resource is damaged";
    return false;
  }
  return true;
}

Bytes version_build(const VersionNode& root) {
  Bytes out;
  build_node(root, out);
  return out;
}

std::vector<VersionNode*> version_strings(VersionNode& root, const std::u16string& key) {
  std::vector<VersionNode*> found;
  find_strings(root, key, 0, found);
  return found;
}

std::u16string version_text(const VersionNode& node) {
  std::u16string text;
  for (size_t i = 0; i + 1 < node.value.size(); i += 2) {
    char16_t c = static_cast<char16_t>(get16(node.value.data() + i));
    if (c == 0) break;
    text += c;
  }
  return text;
}

void version_set_text(VersionNode& node, const std::u16string& text) {
  node.type = 1;
  node.value.clear();
  for (char16_t c : text)
    node.value.insert(node.value.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  node.value.insert(node.value.end(), {0, 0});
}
