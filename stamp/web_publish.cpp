#include "stamp/web_publish.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/frame.h"
#include "engine/image.h"
#include "loader/image_load.h"
#include "stamp/platform.h"

#ifdef _WIN32
#include <direct.h>
#define make_dir(path) _mkdir(path)
#else
#define make_dir(path) mkdir(path, 0755)
#endif

namespace {

enum : int { EXIT_OK = 0, EXIT_REFUSED = 2, EXIT_WRITE = 3 };

// The page as the build makes it; the manifest and the image are what --web adds.
const char* const PAGE_FILES[] = {"index.html", "style.css",   "app.js",
                                  "engine.js",  "firmware.js", "log.js",
                                  "serial.js",  "update.js",   "quarv-web.wasm"};

const char usage[] =
    "Usage: quarv-stamp --web DIR --image FILE [--page PAGE_DIR]\n"
    "Writes DIR: the Quarv web updater's page with FILE as the firmware it offers, and\n"
    "firmware.json naming it (file, size, format, CRC-16/MODBUS of the padded image, name),\n"
    "ready for any static web host. The page checks the file's size and CRC when it loads.\n"
    "\n"
    "  --page PAGE_DIR  the page to copy; by default ../share/quarv/web beside quarv-stamp,\n"
    "                   then the build tree's wasm/page\n"
    "\n"
    "Exit status: 0 written; 2 bad options, or the image or page refused; 3 DIR could not be\n"
    "written.\n";

bool is_dir(const std::string& path) {
  struct stat node {};
  return stat(path.c_str(), &node) == 0 && S_ISDIR(node.st_mode);
}

bool read_whole(const std::string& path, std::vector<uint8_t>& bytes) {
  FILE* in = fopen(path.c_str(), "rb");
  if (!in) return false;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, in)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  bool ok = !ferror(in);
  fclose(in);
  return ok;
}

bool write_whole(const std::string& path, const void* data, size_t size, std::string& error) {
  FILE* out = fopen(path.c_str(), "wb");
  bool ok = out && fwrite(data, 1, size, out) == size;
  if (out && fclose(out) != 0) ok = false;
  if (!ok) error = path + ": " + strerror(errno ? errno : EIO);
  return ok;
}

// The name the page will fetch: the image's own, with anything a URL or a folder would read
// differently replaced, so the manifest can never point outside the page's folder.
std::string served_name(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (char& c : name)
    if (strchr("/\\:?#%\"", c) || static_cast<unsigned char>(c) < 0x20) c = '_';
  if (name.empty() || name[0] == '.') name = "firmware" + name;
  return name;
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

std::string find_page(const char* argv0) {
  std::string here = executable_directory(argv0);
  for (const char* relative : {"/../share/quarv/web", "/../../wasm/page"})
    if (is_dir(here + relative)) return here + relative;
  return "";
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
              (target ? arg + " needs a value" : "unknown option " + arg).c_str(), usage);
      return EXIT_REFUSED;
    }
    *target = value;
  }
  if (image_path.empty()) {
    fprintf(stderr, "quarv-stamp: --image FILE is required\n\n%s", usage);
    return EXIT_REFUSED;
  }
  LoadedImage image;
  std::string error;
  if (!image_read_file(image_path, image, error)) {
    fprintf(stderr, "quarv-stamp: %s\n", error.c_str());
    return EXIT_REFUSED;
  }
  if (page.empty()) page = find_page(argv[0]);
  std::vector<std::vector<uint8_t>> files;
  for (const char* name : PAGE_FILES) {
    files.emplace_back();
    if (page.empty() || !read_whole(page + "/" + name, files.back())) {
      fprintf(stderr, "quarv-stamp: no web page to copy (%s missing in %s); give --page\n", name,
              page.empty() ? "../share/quarv/web and ../../wasm/page" : page.c_str());
      return EXIT_REFUSED;
    }
  }
  std::vector<uint8_t> file_bytes;
  if (!read_whole(image_path, file_bytes)) {
    fprintf(stderr, "quarv-stamp: %s: %s\n", image_path.c_str(), strerror(errno));
    return EXIT_REFUSED;
  }
  std::vector<uint8_t> padded(static_cast<size_t>(padded_image_size(int32_t(image.bytes.size()))));
  std::copy(image.bytes.begin(), image.bytes.end(), padded.begin());
  const uint16_t crc = frame_crc(padded.data(), static_cast<int32_t>(padded.size()));
  if (!is_dir(dir) && make_dir(dir.c_str()) != 0) {
    fprintf(stderr, "quarv-stamp: %s: %s\n", dir.c_str(), strerror(errno));
    return EXIT_WRITE;
  }
  const std::string name = served_name(image_path);
  std::string stem = name.substr(0, name.rfind('.') == 0 || name.rfind('.') == std::string::npos
                                        ? name.size()
                                        : name.rfind('.'));
  char numbers[128];
  snprintf(numbers, sizeof numbers, ",\"size\":%zu,\"image_size\":%zu,\"crc\":\"0x%04x\"",
           file_bytes.size(), image.bytes.size(), crc);
  std::string manifest = "{\"file\":" + json_text(name) + numbers + ",\"format\":\"" +
                         image_format_name(image.format) + "\",\"version\":" + json_text(stem) +
                         "}\n";
  bool ok = true;
  for (size_t i = 0; ok && i < files.size(); ++i)
    ok = write_whole(dir + "/" + PAGE_FILES[i], files[i].data(), files[i].size(), error);
  // The manifest last: a folder cut short by a full disk names no image the page would take.
  ok = ok && write_whole(dir + "/" + name, file_bytes.data(), file_bytes.size(), error) &&
       write_whole(dir + "/firmware.json", manifest.data(), manifest.size(), error);
  if (!ok) {
    fprintf(stderr, "quarv-stamp: %s\n", error.c_str());
    return EXIT_WRITE;
  }
  printf("%s: the web page with %s (%s, %zu bytes, CRC 0x%04x)\n", dir.c_str(), image_path.c_str(),
         image_format_name(image.format), image.bytes.size(), crc);
  return EXIT_OK;
}
