// Everything quarv-flash shows and keeps, from every port's thread: one lock over it all, so
// that no two lines ever mix.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>

#include "cli/console.h"
#include "cli/flash.h"

namespace {

std::mutex lock;
std::condition_variable wake;
FILE* log_file = nullptr;
std::vector<PortRun>* runs = nullptr;
bool live = false;
RunSetup setup{};
bool drawn = false;
uint64_t origin_ms = 0;
int name_width = 16;              // the longest port name, so that the columns line up
std::vector<std::string> errors;  // shown after the summary, below the live lines

const char* const PHASE_NAMES[] = {"opening",   "contacting", "writing", "verifying",
                                   "resetting", "waiting",    "ended"};

std::string json_text(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// UTC with milliseconds; called under the lock, so gmtime's shared result is safe.
std::string time_stamp() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  time_t seconds = static_cast<time_t>(ms / 1000);
  char text[40];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", gmtime(&seconds));
  char stamped[48];
  snprintf(stamped, sizeof stamped, "%s.%03dZ", text, static_cast<int>(ms % 1000));
  return stamped;
}

double seconds_since(uint64_t from_ms, uint64_t to_ms) {
  return from_ms && to_ms > from_ms ? static_cast<double>(to_ms - from_ms) / 1000 : 0.0;
}

// Port, phase, percent of blocks written, bytes/s, elapsed.
std::string live_line(const PortRun& run, uint64_t now) {
  uint64_t end = run.phase == PhaseEnded && run.ended_ms ? run.ended_ms : now;
  int percent = static_cast<int>(100LL * run.acknowledged / setup.image_size);
  double writing = seconds_since(run.writing_started_ms, end);
  double rate = writing > 0 ? run.acknowledged / writing : 0;
  const char* phase = run.phase == PhaseEnded ? run.verdict.c_str() : PHASE_NAMES[run.phase];
  char text[256];
  int n = snprintf(text, sizeof text, "%-*s  %-11s %3d %%  %6.0f B/s  %6.1f s", name_width,
                   run.name.c_str(), phase, percent, rate, seconds_since(run.unit_started_ms, end));
  if (setup.station && n > 0 && static_cast<size_t>(n) < sizeof text)
    snprintf(text + n, sizeof text - static_cast<size_t>(n), "  unit %u: %u OK, %u FAILED",
             run.unit, run.ok, run.failed);
  return text;
}

void draw_live() {
  uint64_t now = monotonic_ms();
  if (drawn) printf("\033[%zuA", runs->size());
  for (const PortRun& run : *runs) printf("\r%s\033[K\n", live_line(run, now).c_str());
  drawn = true;
  fflush(stdout);
}

}  // namespace

uint64_t monotonic_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool report_open_log(const std::string& path, std::string& error) {
  if (path.empty()) return true;
  log_file = fopen(path.c_str(), "a");
  if (!log_file) error = "cannot write the log " + path;
  return log_file != nullptr;
}

void report_begin(std::vector<PortRun>& ports, const RunSetup& run_setup) {
  std::lock_guard<std::mutex> hold(lock);
  runs = &ports;
  setup = run_setup;
  for (const PortRun& run : ports)
    if (static_cast<int>(run.name.size()) > name_width)
      name_width = static_cast<int>(run.name.size());
  live = console_live();
  origin_ms = monotonic_ms();
}

void report_event(PortRun* run, const char* event, const std::string& text,
                  const std::string& fields) {
  std::lock_guard<std::mutex> hold(lock);
  if (strcmp(event, "error") == 0 && run && runs) errors.push_back(text);
  if (!log_file) return;
  fprintf(log_file, "{\"time\":\"%s\",\"port\":%s,", time_stamp().c_str(),
          run ? json_text(run->name).c_str() : "null");
  if (run) fprintf(log_file, "\"unit\":%u,", run->unit);
  fprintf(log_file, "\"event\":\"%s\",\"text\":%s%s}\n", event, json_text(text).c_str(),
          fields.c_str());
  fflush(log_file);  // the record of a unit outlives a crash or a pulled plug
}

void report_phase(PortRun& run, Phase phase) {
  {
    std::lock_guard<std::mutex> hold(lock);
    if (run.phase == phase) return;
    run.phase = phase;
    if (!live) {
      const char* name = phase == PhaseEnded ? run.verdict.c_str() : PHASE_NAMES[phase];
      printf("%8.2f s  %s  %s\n", seconds_since(origin_ms, monotonic_ms()), run.name.c_str(), name);
      fflush(stdout);
    }
  }
  report_event(&run, "phase", phase == PhaseEnded ? run.verdict : PHASE_NAMES[phase]);
  wake.notify_all();
}

void report_unit_begins(PortRun& run) {
  {
    std::lock_guard<std::mutex> hold(lock);
    ++run.unit;
    run.unit_started_ms = monotonic_ms();
    run.writing_started_ms = 0;
    run.acknowledged = 0;
  }
  report_event(&run, "unit", "begins");
  report_phase(run, PhaseContacting);
}

void report_progress(PortRun& run, Phase phase, int32_t acknowledged) {
  {
    std::lock_guard<std::mutex> hold(lock);
    run.acknowledged = acknowledged;
    if (phase == PhaseWriting && run.writing_started_ms == 0)
      run.writing_started_ms = monotonic_ms();
  }
  if (phase != PhaseEnded) report_phase(run, phase);
}

void report_unit_ends(PortRun& run, int result, bool counted) {
  {
    std::lock_guard<std::mutex> hold(lock);
    run.ended_ms = monotonic_ms();
    if (counted) (result == EXIT_OK ? run.ok : run.failed) += 1;
    if (!live && setup.station)
      printf("%8.2f s  %s  unit %u: %s\n", seconds_since(origin_ms, run.ended_ms), run.name.c_str(),
             run.unit, verdict_of(result));
  }
  char fields[160];
  snprintf(fields, sizeof fields, ",\"seconds\":%.3f,\"image_size\":%d,\"image_crc\":\"0x%04x\"",
           seconds_since(run.unit_started_ms, run.ended_ms), setup.image_size, setup.image_crc);
  report_event(&run, "result", verdict_of(result), fields);
}

void report_port_ends(PortRun& run, int result, const char* verdict) {
  {
    std::lock_guard<std::mutex> hold(lock);
    run.result = result;
    run.verdict = verdict;
  }
  report_phase(run, PhaseEnded);
}

void report_wake() { wake.notify_all(); }

void report_until_done(const std::atomic<int>& running) {
  std::unique_lock<std::mutex> hold(lock);
  while (running > 0) {
    if (live) draw_live();
    wake.wait_for(hold, std::chrono::milliseconds(250));
  }
  if (live) draw_live();
}

void report_summary() {
  std::lock_guard<std::mutex> hold(lock);
  printf("\n");
  for (const PortRun& run : *runs) {
    if (setup.station)
      printf("%-*s  %3u OK  %3u FAILED%s\n", name_width, run.name.c_str(), run.ok, run.failed,
             run.result == EXIT_PORT ? "  (port lost)" : "");
    else
      printf("%-*s  %-11s %7.2f s  %d bytes, CRC 0x%04x\n", name_width, run.name.c_str(),
             run.verdict.c_str(), seconds_since(run.unit_started_ms, run.ended_ms),
             setup.image_size, setup.image_crc);
  }
  fflush(stdout);
  for (const std::string& error : errors) fprintf(stderr, "quarv-flash: %s\n", error.c_str());
}

void report_close() {
  std::lock_guard<std::mutex> hold(lock);
  if (log_file) fclose(log_file);
  log_file = nullptr;
}
