// quarv-stamp: writes a copy of the Windows updater that carries another firmware image.
#include <cstdio>
#include <string>
#include <vector>

#include "loader/file_access.h"
#include "loader/image_load.h"
#include "loader/shown_text.h"
#include "stamp/platform.h"
#include "stamp/stamp.h"
#include "stamp/web_publish.h"

namespace {

enum : int { EXIT_OK = 0, EXIT_REFUSED = 2, EXIT_WRITE = 3 };

const char usage[] =
    "Usage: quarv-stamp --image FILE --out NEW.exe [--template UPDATER.exe]\n"
    "       quarv-stamp --web DIR --image FILE [--page PAGE_DIR]   (the web page: --web --help)\n"
    "Writes a copy of the Quarv updater (quarv-update.exe) whose embedded firmware image is\n"
    "FILE, without a compiler: what the build makes from the same image.\n"
    "\n"
    "Options:\n"
    "  --image FILE         the firmware: raw binary from 0x08000000, Intel HEX, S-record or\n"
    "                       ELF32, told apart by their content\n"
    "  --out NEW.exe        the updater to write; written whole or not at all; a device,\n"
    "                       a FIFO, a directory or a symbolic link there is refused\n"
    "  --template UPDATER.exe\n"
    "                       the updater to copy; by default quarv-update-template.exe beside\n"
    "                       quarv-stamp, then in ../share/quarv/, then the build tree's\n"
    "                       quarv-update.exe\n"
    "  --help               show this text and exit\n"
    "  --version            show the version and exit\n"
    "\n"
    "The new updater's version resource names the firmware (Explorer's Details tab, Product\n"
    "version): its file name without the extension, its size and the CRC-16/MODBUS of the image\n"
    "padded to whole 1,024-byte blocks, the CRC the device reports.\n"
    "\n"
    "Exit status:\n"
    "  0  the new updater was written\n"
    "  2  bad options, or the image or the template was refused; nothing was written\n"
    "  3  the new updater could not be written; --out is unchanged\n";

int refuse(const std::string& message) {
  fprintf(stderr, "quarv-stamp: %s\n", shown_text(message).c_str());
  return EXIT_REFUSED;
}

struct Options {
  std::string image, out, templ;
  bool help = false, version = false;
};

bool parse(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    size_t equals = arg.find('=');
    bool joined = arg.rfind("--", 0) == 0 && equals != std::string::npos;
    if (joined) {
      value = arg.substr(equals + 1);
      arg.erase(equals);
    }
    if (arg == "--help" || arg == "--version") {
      (arg == "--help" ? options.help : options.version) = true;
      continue;
    }
    std::string* target = arg == "--image"      ? &options.image
                          : arg == "--out"      ? &options.out
                          : arg == "--template" ? &options.templ
                                                : nullptr;
    if (!target) {
      error = "unknown option " + arg;
      return false;
    }
    if (!joined) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (!target->empty() || value.empty()) {
      error = target->empty() ? arg + " needs a value" : arg + " given twice";
      return false;
    }
    *target = value;
  }
  if (!options.help && !options.version && (options.image.empty() || options.out.empty())) {
    error = options.image.empty() ? "--image FILE is required" : "--out NEW.exe is required";
    return false;
  }
  return true;
}

bool exists(const std::string& path) {
  FileState node;
  std::string reason;
  return file_state(path, node, reason) && !node.directory;
}

// dir joined with a relative path, its ".." taken away where dir has a name to take: the
// installed tool names /usr/share/quarv/..., not /usr/bin/../share/quarv/...
std::string joined(std::string dir, const char* relative) {
  const std::string separators = PATH_SEPARATORS;
  for (std::string rest = relative; !rest.empty();) {
    size_t slash = rest.find('/');
    std::string part = rest.substr(0, slash);
    rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    size_t last = dir.find_last_of(separators);
    std::string tail = last == std::string::npos ? dir : dir.substr(last + 1);
    if (part == ".." && last != std::string::npos && last > 0 && tail != ".." && tail != ".")
      dir.erase(last);
    else
      dir += separators[0] + part;
  }
  return dir;
}

// The template a release installs beside quarv-stamp or under share/, else the build tree's.
bool find_template(const char* argv0, std::string& found, std::string& error) {
  const std::string dir = executable_directory(argv0);
  const std::string places[] = {joined(dir, "quarv-update-template.exe"),
                                joined(dir, "../share/quarv/quarv-update-template.exe"),
                                joined(dir, "../ui/quarv-update.exe"),
                                joined(dir, "../../win32/ui/quarv-update.exe")};
  error = "no updater to copy; give --template UPDATER.exe. Looked for:";
  for (const std::string& place : places) {
    if (exists(place)) {
      found = place;
      return true;
    }
    error += "\n  " + place;
  }
  return false;
}

bool read_template(const std::string& path, Bytes& bytes, std::string& error) {
  FileState node;
  std::string reason;
  if (!file_state(path, node, reason) || node.directory) {
    error = "cannot read the template " + path + ": " + (node.directory ? "a directory" : reason);
    return false;
  }
  // No updater comes near this; a device or a wrong file is not read whole.
  if (!node.regular || node.size > LOADER_FILE_MAX) {
    error = "the template " + path + " is not an updater: not a regular file of its size";
    return false;
  }
  FILE* file = file_open_read(path, reason);
  if (!file) {
    error = "cannot read the template " + path + ": " + reason;
    return false;
  }
  bytes.resize(static_cast<size_t>(node.size));
  bool whole = fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
  fclose(file);
  if (!whole) error = "cannot read the template " + path + ": it was cut short while read";
  return whole;
}

}  // namespace

int stamp_main(int argc, char** argv) {
  if (web_publish_wanted(argc, argv)) return web_publish_main(argc, argv);
  Options options;
  std::string error;
  if (!parse(argc, argv, options, error)) {
    fprintf(stderr, "quarv-stamp: %s\n\n%s", shown_text(error).c_str(), usage);
    return EXIT_REFUSED;
  }
  if (options.help) {
    fputs(usage, stdout);
    return EXIT_OK;
  }
  if (options.version) {
    puts("quarv-stamp " QUARV_VERSION);
    return EXIT_OK;
  }
  if (options.templ.empty() && !find_template(argv[0], options.templ, error)) return refuse(error);
  if (same_file(options.out, options.templ))
    return refuse("--out " + options.out + " is the template itself; write a new file");
  if (same_file(options.out, options.image))
    return refuse("--out " + options.out + " is the image file itself; write a new file");
  // Replacing a device, a FIFO or a link with a regular file is never what was meant (as root,
  // --out /dev/null would replace the system's).
  OutKind out = out_kind(options.out);
  if (out == OutLink)
    return refuse("--out " + options.out +
                  " is a symbolic link, which quarv-stamp does not write through; name the file "
                  "itself");
  if (out == OutOther)
    return refuse("--out " + options.out +
                  " is not a regular file (a device, a FIFO or a directory); it is left as it is");

  LoadedImage image;
  Bytes exe, stamped;
  if (!image_read_file(options.image, image, error)) return refuse(error);
  if (!read_template(options.templ, exe, error)) return refuse(error);
  FirmwareFields fields = firmware_fields(options.image, image.bytes);
  if (!stamp_updater(exe, image.bytes, fields, stamped, error))
    return refuse("the template " + options.templ + " " + error);
  if (!write_replacing(options.out, options.out + ".quarv-stamp-", true, stamped, error)) {
    fprintf(stderr, "quarv-stamp: %s\n", shown_text(error).c_str());
    return EXIT_WRITE;
  }
  printf("%s: %s with %s (%s, %zu bytes, CRC 0x%04x)\n", shown_text(options.out).c_str(),
         shown_text(options.templ).c_str(), shown_text(options.image).c_str(),
         image_format_name(image.format), image.bytes.size(), fields.crc);
  return EXIT_OK;
}
