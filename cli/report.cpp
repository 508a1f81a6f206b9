// Everything quarv-flash shows and keeps, from every port's thread: one lock over it all, so
// that no two lines ever mix. Output may fail at any time (a closed pipe, a vanished terminal,
// a full disk): that is noted and the run goes on, since the devices must still be finished.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>

#include "cli/console.h"
#include "cli/flash.h"
#include "cli/screen.h"
#include "loader/shown_text.h"

namespace {

std::mutex lock;
std::condition_variable wake;
FILE* log_file = nullptr;
std::string log_path;
long log_end = 0;  // where the last whole line ended
bool log_failed = false;
std::deque<PortRun>* runs = nullptr;
bool live = false;
RunSetup setup{};
Screen screen;  // the live lines as last drawn
uint64_t origin_ms = 0;
std::vector<std::string> errors;      // shown after the summary, below the live lines
bool out_failed[2] = {false, false};  // standard output, standard error

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

void write_log_line(PortRun* run, const char* event, const std::string& text,
                    const std::string& fields);

// Writes text to standard output or error unless that has failed before; the first failure is
// noted in the log (and on the other stream), and the stream is left alone from then on.
void put(FILE* stream, const std::string& text) {
  int which = stream == stdout ? 0 : 1;
  if (out_failed[which]) return;
  errno = 0;
  bool ok = fputs(text.c_str(), stream) >= 0;
  ok = fflush(stream) == 0 && ok && !ferror(stream);
  if (ok) return;
  out_failed[which] = true;
  std::string note = std::string(which == 0 ? "standard output" : "standard error") +
                     " cannot be written (" + strerror(errno ? errno : EIO) +
                     "): the run goes on without it";
  write_log_line(nullptr, "output", note, "");
  if (which == 0) put(stderr, "quarv-flash: " + note + "\n");
}

void write_log_line(PortRun* run, const char* event, const std::string& text,
                    const std::string& fields) {
  if (!log_file || log_failed) return;
  std::string line =
      "{\"time\":\"" + time_stamp() + "\",\"port\":" + (run ? json_text(run->name) : "null") + ",";
  if (run) line += "\"unit\":" + std::to_string(run->unit) + ",";
  line += "\"event\":\"" + std::string(event) + "\",\"text\":" + json_text(text) + fields;
  line += (run ? run->identity : "") + "}\n";
  // Unbuffered, so each line is on disk when this returns (the record of a unit outlives a
  // crash or a pulled plug), and nothing of a line that failed is left to be written later.
  errno = 0;
  if (fwrite(line.data(), 1, line.size(), log_file) == line.size()) {
    log_end += static_cast<long>(line.size());
    return;
  }
  console_truncate(log_file, log_end);
  log_failed = true;
  std::string why = "the log " + log_path + " cannot be written (" + strerror(errno ? errno : EIO) +
                    "): nothing more goes into it";
  put(stderr, "quarv-flash: " + shown_text(why) + "\n");  // and in the summary
}

void draw_live() {
  put(stdout, screen_redraw(*runs, screen, setup, monotonic_ms(), console_width()));
}

}  // namespace

std::string crc_text(int32_t crc) {
  char text[12];  // a CRC-16 needs 7; room for any value keeps -Wformat-truncation quiet
  snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(crc));
  return text;
}

uint64_t monotonic_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool report_open_log(const std::string& path, std::string& error) {
  if (path.empty()) return true;
  log_path = path;
  log_file = console_fopen(path.c_str(), "a");
  if (!log_file) {
    error = "cannot write the log " + path + " (" + strerror(errno) + ")";
    return false;
  }
  setvbuf(log_file, nullptr, _IONBF, 0);
  // Not to move the writes (they always append) but to learn where the file ends now.
  // cppcheck-suppress seekOnAppendedFile
  fseek(log_file, 0, SEEK_END);
  log_end = ftell(log_file);
  return true;
}

PortRun& report_add_run(const std::string& name) {
  std::lock_guard<std::mutex> hold(lock);
  runs->emplace_back();
  runs->back().name = name;
  screen.name_width = std::max(screen.name_width, static_cast<int>(name.size()));
  return runs->back();
}

void report_rename(PortRun& run, const std::string& name, const std::string& identity,
                   const std::string& adapter) {
  std::lock_guard<std::mutex> hold(lock);
  run.name = name;
  run.identity = identity;
  run.adapter = adapter;
  screen.name_width = std::max(screen.name_width, static_cast<int>(name.size()));
}

void report_begin(std::deque<PortRun>& ports, const RunSetup& run_setup) {
  std::lock_guard<std::mutex> hold(lock);
  runs = &ports;
  setup = run_setup;
  for (const PortRun& run : ports)
    screen.name_width = std::max(screen.name_width, static_cast<int>(run.name.size()));
  live = console_live();
  origin_ms = monotonic_ms();
}

void report_event(PortRun* run, const char* event, const std::string& text,
                  const std::string& fields) {
  std::lock_guard<std::mutex> hold(lock);
  if (strcmp(event, "error") == 0 && run && runs) errors.push_back(text);
  // A warning while the live lines are drawn waits below the summary, as errors do.
  if (strcmp(event, "warning") == 0 && run && runs) {
    if (live)
      errors.push_back(text);
    else
      put(stderr, "quarv-flash: " + shown_text(text) + "\n");
  }
  write_log_line(run, event, text, fields);
}

void report_phase(PortRun& run, Phase phase) {
  {
    std::lock_guard<std::mutex> hold(lock);
    if (run.phase == phase) return;
    run.phase = phase;
    if (!live) {
      const char* name = phase == PhaseEnded ? run.verdict.c_str() : phase_name(phase);
      char text[64];
      snprintf(text, sizeof text, "%8.2f s  ", seconds_since(origin_ms, monotonic_ms()));
      put(stdout, text + shown_text(run.name) + "  " + name + "\n");
    }
  }
  report_event(&run, "phase", phase == PhaseEnded ? run.verdict : phase_name(phase));
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
  std::string fields;
  {
    std::lock_guard<std::mutex> hold(lock);
    run.ended_ms = monotonic_ms();
    if (counted)
      (result == EXIT_OK ? run.ok : result == EXIT_INTERRUPTED ? run.interrupted : run.failed) += 1;
    if (!live && setup.station) {
      char text[64];
      snprintf(text, sizeof text, "%8.2f s  ", seconds_since(origin_ms, run.ended_ms));
      put(stdout, text + shown_text(run.name) + "  unit " + std::to_string(run.unit) + ": " +
                      verdict_of(result) + shown_text(unit_remark(run, result, setup)) + "\n");
    }
    char numbers[160];
    snprintf(numbers, sizeof numbers,
             ",\"seconds\":%.3f,\"image_size\":%d,\"image_crc\":\"0x%04x\"",
             seconds_since(run.unit_started_ms, run.ended_ms), setup.image_size, setup.image_crc);
    fields = numbers;
    if (run.device_crc >= 0) fields += ",\"device_crc\":\"" + crc_text(run.device_crc) + "\"";
    if (!run.detail.empty()) fields += ",\"detail\":" + json_text(run.detail);
    if (run.job.echoes) fields += ",\"echoes\":" + std::to_string(run.job.echoes);
    if (run.told_quiet) fields += ",\"quiet_ms\":" + std::to_string(job_quiet_ms(run.job));
    if (result == EXIT_INTERRUPTED) {
      int32_t blocks = 0;
      int32_t block = block_reached(run, blocks, setup);
      fields += ",\"block\":" + std::to_string(block) + ",\"blocks\":" + std::to_string(blocks) +
                ",\"phase\":\"" + phase_name(run.phase) + "\"";
    }
  }
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
  std::string text = summary_text(*runs, setup, screen.name_width);
  if (log_failed) text += "the log " + shown_text(log_path) + " was not written whole\n";
  put(stdout, text);
  for (const std::string& error : errors) put(stderr, "quarv-flash: " + shown_text(error) + "\n");
}

bool report_log_failed() {
  std::lock_guard<std::mutex> hold(lock);
  return log_failed;
}

void report_close() {
  std::lock_guard<std::mutex> hold(lock);
  if (log_file && fclose(log_file) != 0 && !log_failed) {
    log_failed = true;
    put(stderr, "quarv-flash: the log " + shown_text(log_path) + " cannot be written (" +
                    strerror(errno) + ")\n");
  }
  log_file = nullptr;
}
