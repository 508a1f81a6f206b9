#include "stamp/web_publish.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/frame.h"
#include "engine/image.h"
#include "loader/file_access.h"
#include "loader/image_load.h"
#include "loader/shown_text.h"
#include "loader/utf8_text.h"
#include "stamp/platform.h"

namespace {

enum : int { EXIT_OK = 0, EXIT_REFUSED = 2, EXIT_WRITE = 3 };

// The page as the build makes it (its modules bundled in app.js); the manifest and the image
// are what --web adds.
const char* const PAGE_FILES[] = {"index.html", "style.css", "app.js", "clock_worker.js",
                                  "quarv-web.wasm"};
const char MANIFEST[] = "firmware.json";

const char usage[] =
    "Usage: quarv-stamp --web DIR --image FILE [--page PAGE_DIR]\n"
    "Writes DIR: the Quarv web updater's page with FILE as the firmware it offers, and\n"
    "firmware.json naming it (file, size, format, CRC-16/MODBUS of the padded image, name),\n"
    "ready for any static web host. The page checks the file's size and CRC when it loads.\n"
    "Each file is written whole or not at all; files of other names in DIR are kept.\n"
    "\n"
    "  --page PAGE_DIR  the page to copy; by default ../share/quarv/web beside quarv-stamp,\n"
    "                   then the build tree's wasm/page\n"
    "\n"
    "Exit status: 0 written; 2 bad options, the image or the page refused, or an entry of DIR\n"
    "that is a symbolic link or not a regular file (DIR is left as it was); 3 DIR could not be\n"
    "written.\n";

bool read_page_file(const std::string& path, Bytes& bytes) {
  std::string reason;
  FILE* in = file_open_read(path, reason);
  if (!in) return false;
  uint8_t buffer[65536];
  size_t n;
  while (bytes.size() <= LOADER_FILE_MAX && (n = fread(buffer, 1, sizeof buffer, in)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  bool ok = !ferror(in) && bytes.size() <= LOADER_FILE_MAX;
  fclose(in);
  return ok;
}

bool same_letters(const std::string& a, const char* b) {
  if (a.size() != strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// The name the page will fetch: the image's own, with anything a URL, a folder or JSON would
// read differently replaced (invalid UTF-8 and controls too), so the manifest can never point
// outside the page's folder. A name the page or the manifest already has, in any case (a host
// may not tell case apart), gets a prefix: the image must not replace the page. A name without
// an extension says nothing a host or a person could go by, least of all those a shell gives a
// pipe (/dev/fd/63, /dev/stdin): "firmware" and the format's usual extension stand for it.
std::string served_name(const std::string& path, ImageFormat format) {
  size_t slash = path.find_last_of("/\\");
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.find('.') == std::string::npos) {
    static const char* const extensions[] = {".bin", ".hex", ".srec", ".elf"};
    base = std::string("firmware") + extensions[format];
  }
  std::string name;
  const auto* bytes = reinterpret_cast<const unsigned char*>(base.data());
  for (size_t i = 0, length; i < base.size(); i += length ? length : 1) {
    length = utf8_length(bytes + i, base.size() - i);
    // C0 and DEL, and C1 (U+0080-U+009F, encoded 0xC2 0x80-0x9F).
    bool control = (length == 1 && (bytes[i] < 0x20 || bytes[i] == 0x7F)) ||
                   (length == 2 && bytes[i] == 0xC2 && bytes[i + 1] <= 0x9F);
    if (!length || control || (length == 1 && strchr("/\\:?#%\"", base[i])))
      name += '_';
    else
      name.append(base, i, length);
  }
  if (name.empty() || name[0] == '.') name = "firmware" + name;
  bool taken = same_letters(name, MANIFEST);
  for (const char* page_file : PAGE_FILES) taken = taken || same_letters(name, page_file);
  return taken ? "firmware-" + name : name;
}

std::string json_text(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool is_dir(const std::string& path) {
  FileState node;
  std::string reason;
  return file_state(path, node, reason) && node.directory;
}

std::string find_page(const char* argv0) {
  std::string here = executable_directory(argv0);
  for (const char* relative : {"/../share/quarv/web", "/../../wasm/page"})
    if (is_dir(here + relative)) return here + relative;
  return "";
}

struct Output {
  std::string name;
  Bytes bytes;
};

// Every entry about to be replaced must be a regular file or absent: a link would be replaced
// by a file, where its owner may have meant the web host to follow it.
bool replaceable(const std::string& dir, const std::vector<Output>& outputs, std::string& error) {
  for (const Output& output : outputs) {
    const std::string path = dir + "/" + output.name;
    OutKind kind = out_kind(path);
    if (kind == OutLink)
      error = path + " is a symbolic link, which quarv-stamp does not write through; remove it " +
              "or publish into another folder";
    else if (kind == OutOther)
      error =
          path + " is not a regular file (a directory, a device or a FIFO); it is left as it is";
    if (kind == OutLink || kind == OutOther) return false;
  }
  return true;
}

}  // namespace

bool web_publish_wanted(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--web") == 0 || strncmp(argv[i], "--web=", 6) == 0) return true;
  return false;
}

int web_publish_main(int argc, char** argv) {
  std::string dir, image_path, page;
  // Looked for first: `--web --help`, as the main usage tells, would take it for DIR.
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--help") == 0) return fputs(usage, stdout) < 0 ? EXIT_WRITE : EXIT_OK;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.erase(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    std::string* target = arg == "--web"     ? &dir
                          : arg == "--image" ? &image_path
                          : arg == "--page"  ? &page
                                             : nullptr;
    if (!target || value.empty()) {
      fprintf(stderr, "quarv-stamp: %s\n\n%s",
              shown_text(target ? arg + " needs a value" : "unknown option " + arg).c_str(), usage);
      return EXIT_REFUSED;
    }
    *target = value;
  }
  if (image_path.empty()) {
    fprintf(stderr, "quarv-stamp: --image FILE is required\n\n%s", usage);
    return EXIT_REFUSED;
  }
  // Read once: what is published is what was checked, from a pipe too.
  std::vector<Output> outputs(sizeof PAGE_FILES / sizeof PAGE_FILES[0] + 2);
  Bytes& contents = outputs[outputs.size() - 2].bytes;
  LoadedImage image;
  std::string error;
  if (!image_read_contents(image_path, contents, error) ||
      !image_parse(image_path, contents.data(), contents.size(), image, error)) {
    fprintf(stderr, "quarv-stamp: %s\n", shown_text(error).c_str());
    return EXIT_REFUSED;
  }
  if (page.empty()) page = find_page(argv[0]);
  for (size_t i = 0; i < outputs.size() - 2; ++i) {
    outputs[i].name = PAGE_FILES[i];
    if (page.empty() || !read_page_file(page + "/" + PAGE_FILES[i], outputs[i].bytes)) {
      fprintf(stderr, "quarv-stamp: no web page to copy (%s missing in %s); give --page\n",
              PAGE_FILES[i],
              page.empty() ? "../share/quarv/web and ../../wasm/page" : shown_text(page).c_str());
      return EXIT_REFUSED;
    }
  }
  std::vector<uint8_t> padded(static_cast<size_t>(padded_image_size(int32_t(image.bytes.size()))));
  std::copy(image.bytes.begin(), image.bytes.end(), padded.begin());
  const uint16_t crc = frame_crc(padded.data(), static_cast<int32_t>(padded.size()));
  const std::string name = served_name(image_path, image.format);
  std::string stem = name.substr(0, name.rfind('.') == 0 || name.rfind('.') == std::string::npos
                                        ? name.size()
                                        : name.rfind('.'));
  char numbers[128];
  snprintf(numbers, sizeof numbers, ",\"size\":%zu,\"image_size\":%zu,\"crc\":\"0x%04x\"",
           contents.size(), image.bytes.size(), crc);
  std::string manifest = "{\"file\":" + json_text(name) + numbers + ",\"format\":\"" +
                         image_format_name(image.format) + "\",\"version\":" + json_text(stem) +
                         "}\n";
  outputs[outputs.size() - 2].name = name;
  outputs.back() = {MANIFEST, Bytes(manifest.begin(), manifest.end())};

  // As --out: a link is not followed to wherever it points, here with a whole page behind it.
  std::string named = dir;
  while (named.size() > 1 && strchr(PATH_SEPARATORS, named.back())) named.pop_back();
  if (out_kind(named) == OutLink) {
    fprintf(stderr,
            "quarv-stamp: %s is a symbolic link, which quarv-stamp does not publish through; "
            "name the folder it points to\n",
            shown_text(dir).c_str());
    return EXIT_REFUSED;
  }
  FileState node;
  std::string reason;
  if (file_state(dir, node, reason) && !node.directory) {
    fprintf(stderr, "quarv-stamp: %s: not a folder\n", shown_text(dir).c_str());
    return EXIT_WRITE;
  }
  if (!replaceable(dir, outputs, error)) {
    fprintf(stderr, "quarv-stamp: %s\n", shown_text(error).c_str());
    return EXIT_REFUSED;
  }
  if (!folder_make(dir, error)) {
    fprintf(stderr, "quarv-stamp: %s\n", shown_text(error).c_str());
    return EXIT_WRITE;
  }
  // Another run into this folder finishes first, and what it wrote is looked at again.
  folder_hold(dir);
  if (!replaceable(dir, outputs, error)) {
    fprintf(stderr, "quarv-stamp: %s\n", shown_text(error).c_str());
    return EXIT_REFUSED;
  }
  // The manifest last: a folder cut short by a full disk names no image the page would take.
  for (const Output& output : outputs)
    if (!write_replacing(dir + "/" + output.name, dir + "/.quarv-stamp-", false, output.bytes,
                         error)) {
      fprintf(stderr, "quarv-stamp: %s\n", shown_text(error).c_str());
      return EXIT_WRITE;
    }
  printf("%s: the web page with %s as %s (%s, %zu bytes, CRC 0x%04x)\n", shown_text(dir).c_str(),
         shown_text(image_path).c_str(), name.c_str(), image_format_name(image.format),
         image.bytes.size(), crc);
  return EXIT_OK;
}
