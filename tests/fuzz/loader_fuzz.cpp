// libFuzzer target over the parsers of files a user hands over: the image loader's four formats,
// and quarv-stamp's reading of a template's headers, resource tree and version resource.
#include <cstddef>
#include <cstdint>

#include "loader/image_load.h"
#include "stamp/pe_file.h"
#include "stamp/resource_tree.h"
#include "stamp/version_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LoadedImage image;
  std::string error;
  image_parse("fuzz", data, size, image, error);
  const Bytes bytes(data, data + size);
  PeFile pe;
  if (pe_parse(bytes, pe, error)) pe_with_resources(bytes, pe, Bytes(100, 0));
  ResourceNode tree;
  size_t budget = 4 * size;
  if (size >= 4 && resource_parse(data + 4, size - 4, get32(data), tree, budget, error))
    resource_build(tree, 0x1000);
  VersionNode root;
  if (version_parse(bytes, root, error)) version_build(root);
  return 0;
}
