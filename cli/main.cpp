// quarv-flash: flashes Quarv devices on several serial ports at once. See usage_text().
#include <cstdlib>
#include <cstring>

#include "cli/console.h"
#include "cli/flash.h"
#include "diag/trace.h"
#include "engine/image.h"
#include "loader/shown_text.h"
#include "serial/serial.h"
#include "serial/socket.h"

namespace {

void on_stop(int) { stop_requested = true; }

// The image loader's own trace lines belong to the run, not to a port.
void run_trace(void*, const char* piece) {
  static std::string line;
  for (const char* c = piece; *c; ++c) {
    if (*c != '\n') {
      line += *c;
    } else if (!line.empty()) {
      report_event(nullptr, "trace", line);
      line.clear();
    }
  }
}

int usage_error(const std::string& error) {
  fprintf(stderr, "quarv-flash: %s\n\n%s", shown_text(error).c_str(), usage_text());
  return EXIT_USAGE;
}

// The command was well formed but names something unusable: the message alone says it.
int input_error(const std::string& error) {
  fprintf(stderr, "quarv-flash: %s\n", shown_text(error).c_str());
  return EXIT_USAGE;
}

// --help, --version and --list: output that did not reach its reader is a failure, as with any
// listing tool, so that a script never takes an empty list for no ports.
int print(const std::string& text) {
  fputs(text.c_str(), stdout);
  return fflush(stdout) == 0 && !ferror(stdout) ? EXIT_OK : EXIT_FAILED;
}

std::vector<PortMatch> parsed_matches(const CliOptions& options) {
  std::vector<PortMatch> matches(options.matches.size());
  std::string error;
  for (size_t i = 0; i < matches.size(); ++i) parse_match(options.matches[i], matches[i], error);
  return matches;
}

int list_ports(const CliOptions& options) {
  std::vector<PortMatch> matches = parsed_matches(options);
  std::string text;
  for (const PortInfo& port : serial_ports())
    if (matches.empty() || matches_any(matches, port))
      text += (options.json ? port_json(port) : port_line(port)) + "\n";
  return print(text);
}

// The ports named and those --match selects, none twice; each with what is known of it. False
// with a message when a --match selects nothing: it then lists what is there instead. A
// station takes what matches as it comes, from none at first.
bool choose_ports(CliOptions& options, std::vector<PortInfo>& chosen, std::string& error) {
  std::vector<PortInfo> present = serial_ports();
  std::vector<PortMatch> matches =
      options.station ? std::vector<PortMatch>{} : parsed_matches(options);
  bool matched = false;
  for (const PortInfo& port : present)
    if (matches_any(matches, port)) {
      options.ports.push_back(port.name);
      matched = true;
    }
  if (!matches.empty() && !matched) {
    error = "no port present matches --match";
    for (const std::string& pattern : options.matches) error += " " + pattern;
    error += present.empty() ? "; no serial port is present" : "; the ports present:";
    for (const PortInfo& port : present) error += "\n  " + port_line(port);
    return false;
  }
  std::vector<std::string> names;
  std::vector<std::string> keys;
  for (const std::string& name : options.ports) {
    char key[SERIAL_KEY_SIZE];
    if (!matches.empty() && serial_port_key(name.c_str(), key, sizeof key)) {
      // Named and matched too: one port, flashed once.
      bool seen = false;
      for (const std::string& other : keys) seen = seen || other == key;
      if (seen) continue;
      keys.push_back(key);
    }
    names.push_back(name);
    PortInfo info;
    info.name = name;
    char other_key[SERIAL_KEY_SIZE];
    for (const PortInfo& port : present)
      if (serial_port_key(port.name.c_str(), other_key, sizeof other_key) &&
          serial_port_key(name.c_str(), key, sizeof key) && strcmp(key, other_key) == 0)
        info = port, info.name = name;
    chosen.push_back(info);
  }
  options.ports = names;
  return true;
}

// When ports end differently: a port that could not be used says most about the station,
// then one whose device never answered, then a unit that failed.
int overall_status(const std::deque<PortRun>& runs) {
  static const int order[] = {EXIT_INTERRUPTED, EXIT_PORT, EXIT_NO_ANSWER, EXIT_FAILED};
  for (int status : order)
    for (const PortRun& run : runs)
      if (run.result == status) return status;
  return EXIT_OK;
}

}  // namespace

int flash_main(int argc, char** argv) {
  console_prepare();
  CliOptions options;
  std::string error;
  if (!parse_options(argc, argv, options, error)) return usage_error(error);
  if (options.help) return print(usage_text());
  if (options.version) return print("quarv-flash " QUARV_VERSION "\n");
  if (options.list) return list_ports(options);
  std::vector<uint8_t> bytes;
  std::string format;
  std::vector<PortInfo> chosen;
  if (!choose_ports(options, chosen, error) || !check_ports(options, error) ||
      !read_image_file(options.image_path, bytes, format, error) ||
      !report_open_log(options.log_path, error))
    return input_error(error);
  UpdateJob loaded{};
  trace_to_sink(run_trace, nullptr);
  if (!image_fill(loaded, bytes.data(), static_cast<uint32_t>(bytes.size())))
    return input_error("not enough memory for the image " + options.image_path);
  RunSetup setup{loaded.image, loaded.image_size, frame_crc(loaded.image, loaded.image_size),
                 options.wait_s, options.station};
  // What will be written, said before anything is: a wrong file shows here, not on a device.
  char range[40];
  snprintf(range, sizeof range, "0x%08x-0x%08x", static_cast<unsigned>(FLASH_BASE),
           static_cast<unsigned>(FLASH_BASE + bytes.size() - 1));
  printf("%s: %s, %s, %zu bytes (%d padded), CRC-16/MODBUS %s\n",
         shown_text(options.image_path).c_str(), format.c_str(), range, bytes.size(),
         setup.image_size, crc_text(setup.image_crc).c_str());
  fflush(stdout);
  report_event(nullptr, "image", options.image_path,
               ",\"format\":\"" + format + "\",\"range\":\"" + range +
                   "\",\"size\":" + std::to_string(bytes.size()) +
                   ",\"padded_size\":" + std::to_string(setup.image_size) + ",\"crc\":\"" +
                   crc_text(setup.image_crc) + "\"");

  // Ctrl-C from here on is the run's: a server still being connected to or set up gives up at
  // once, and the log says why nothing was flashed.
  console_on_stop(on_stop);
  socket_stop_on(&stop_requested);
  // Every port is opened before any job starts: a command with one wrong port flashes nothing.
  std::deque<PortRun> runs(options.ports.size());
  bool opened = true;
  bool unsuitable = false;  // a serial server that will not set the line as asked
  for (size_t i = 0; i < runs.size(); ++i) {
    char message[1024];
    runs[i].name = options.ports[i];
    runs[i].identity = identity_fields(chosen[i]);
    runs[i].port = serial_open(runs[i].name.c_str(), message, sizeof message,
                               connect_ms(options.wait_s), unsuitable);
    if (runs[i].port != PORT_INVALID) continue;
    if (stop_requested) break;
    fprintf(stderr, "quarv-flash: %s\n", shown_text(message).c_str());
    report_event(&runs[i], "error", message);
    opened = false;
  }
  if (!opened || stop_requested) {
    for (PortRun& run : runs) serial_close(run.port);
    free(loaded.image);
    if (stop_requested) report_event(nullptr, "error", "stopped before every port was open");
    report_close();
    fprintf(stderr, "quarv-flash: %snothing was flashed\n",
            stop_requested ? "stopped before every port was open: " : "");
    return stop_requested ? EXIT_INTERRUPTED : unsuitable ? EXIT_USAGE : EXIT_PORT;
  }

  report_begin(runs, setup);
  serve_ports(runs, setup, options.station ? parsed_matches(options) : std::vector<PortMatch>{});
  report_summary();
  report_close();
  free(loaded.image);
  int status = overall_status(runs);
  return status == EXIT_OK && report_log_failed() ? EXIT_LOG : status;
}
