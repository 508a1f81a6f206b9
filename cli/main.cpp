// quarv-flash: flashes Quarv devices on several serial ports at once. See usage_text().
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cli/console.h"
#include "cli/flash.h"
#include "diag/trace.h"
#include "engine/image.h"
#include "serial/serial.h"

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
  fprintf(stderr, "quarv-flash: %s\n\n%s", error.c_str(), usage_text());
  return EXIT_USAGE;
}

// The command was well formed but names something unusable: the message alone says it.
int input_error(const std::string& error) {
  fprintf(stderr, "quarv-flash: %s\n", error.c_str());
  return EXIT_USAGE;
}

// When ports end differently: a port that could not be used says most about the station,
// then one whose device never answered, then a unit that failed.
int overall_status(const std::vector<PortRun>& runs) {
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
  if (options.help) {
    fputs(usage_text(), stdout);
    return EXIT_OK;
  }
  if (options.version) {
    puts("quarv-flash " QUARV_VERSION);
    return EXIT_OK;
  }
  if (options.list) {
    serial_list(stdout);
    return EXIT_OK;
  }
  std::vector<uint8_t> bytes;
  std::string format;
  if (!check_ports(options, error) || !read_image_file(options.image_path, bytes, format, error) ||
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
  printf("%s: %s, %s, %zu bytes (%d padded), CRC-16/MODBUS %s\n", options.image_path.c_str(),
         format.c_str(), range, bytes.size(), setup.image_size, crc_text(setup.image_crc).c_str());
  fflush(stdout);
  report_event(nullptr, "image", options.image_path,
               ",\"format\":\"" + format + "\",\"range\":\"" + range +
                   "\",\"size\":" + std::to_string(bytes.size()) +
                   ",\"padded_size\":" + std::to_string(setup.image_size) + ",\"crc\":\"" +
                   crc_text(setup.image_crc) + "\"");

  // Every port is opened before any job starts: a command with one wrong port flashes nothing.
  std::vector<PortRun> runs(options.ports.size());
  bool opened = true;
  for (size_t i = 0; i < runs.size(); ++i) {
    char message[1024];
    runs[i].name = options.ports[i];
    runs[i].port = serial_open(runs[i].name.c_str(), message, sizeof message);
    if (runs[i].port != PORT_INVALID) continue;
    fprintf(stderr, "quarv-flash: %s\n", message);
    report_event(&runs[i], "error", message);
    opened = false;
  }
  if (!opened) {
    for (PortRun& run : runs) serial_close(run.port);
    free(loaded.image);
    report_close();
    fprintf(stderr, "quarv-flash: nothing was flashed\n");
    return EXIT_PORT;
  }

  console_on_stop(on_stop);
  report_begin(runs, setup);
  std::atomic<int> running{static_cast<int>(runs.size())};
  std::vector<std::thread> threads;
  for (PortRun& run : runs)
    threads.emplace_back([&run, &setup, &running] {
      run_port(run, setup);
      --running;
      report_wake();
    });
  report_until_done(running);
  for (std::thread& thread : threads) thread.join();
  report_summary();
  for (PortRun& run : runs) serial_close(run.port);
  report_close();
  free(loaded.image);
  int status = overall_status(runs);
  return status == EXIT_OK && report_log_failed() ? EXIT_LOG : status;
}
