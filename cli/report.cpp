// Everything quarv-flash shows and keeps, from every port's thread: one lock over it all, so
// that no two lines ever mix. Output may fail at any time (a closed pipe, a vanished terminal,
// a full disk): that is noted and the run goes on, since the devices must still be finished.
#include <cerrno>
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
std::string log_path;
long log_end = 0;  // where the last whole line ended
bool log_failed = false;
std::vector<PortRun>* runs = nullptr;
bool live = false;
RunSetup setup{};
bool drawn = false;
uint64_t origin_ms = 0;
int name_width = 16;                  // the longest port name, so that the columns line up
std::vector<std::string> errors;      // shown after the summary, below the live lines
bool out_failed[2] = {false, false};  // standard output, standard error

const char* const PHASE_NAMES[] = {"opening",   "contacting", "writing", "verifying",
                                   "resetting", "waiting",    "ended"};

// Length of the well-formed UTF-8 sequence at text, 0 when there is none.
size_t utf8_length(const unsigned char* text, size_t left) {
  unsigned char c = text[0];
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || c > 0xF4 || left < n) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((text[i] & 0xC0) != 0x80) return 0;
  // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
  if ((c == 0xE0 && text[1] < 0xA0) || (c == 0xED && text[1] >= 0xA0) ||
      (c == 0xF0 && text[1] < 0x90) || (c == 0xF4 && text[1] >= 0x90))
    return 0;
  return n;
}

// A JSON string in valid UTF-8 whatever the bytes: a byte that is not part of UTF-8 (a name in
// Latin-1, say) becomes the character of that code, \u00e9 for 0xe9, so the name stays legible.
std::string json_text(const std::string& text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    size_t n = c < 0x80 ? 1 : utf8_length(bytes + i, text.size() - i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || n == 0) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, n);
    }
    i += n ? n : 1;
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
  line += "\"event\":\"" + std::string(event) + "\",\"text\":" + json_text(text) + fields + "}\n";
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
  put(stderr, "quarv-flash: " + why + "\n");  // and in the summary
}

double seconds_since(uint64_t from_ms, uint64_t to_ms) {
  return from_ms && to_ms > from_ms ? static_cast<double>(to_ms - from_ms) / 1000 : 0.0;
}

// Cut to fewer characters than the terminal has columns, so that no line ever wraps (a wrapped
// line would push the block of lines up at each redraw). UTF-8 continuation bytes take no column.
std::string fit(const std::string& text, int width) {
  if (width < 2) return text;
  int columns = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (++columns == width) return text.substr(0, i);
  }
  return text;
}

// Port, phase, percent of blocks written, bytes/s, elapsed; while waiting, what for.
std::string live_line(const PortRun& run, uint64_t now) {
  uint64_t end = run.phase == PhaseEnded && run.ended_ms ? run.ended_ms : now;
  int percent = static_cast<int>(100LL * run.acknowledged / setup.image_size);
  double writing = seconds_since(run.writing_started_ms, end);
  double rate = writing > 0 ? run.acknowledged / writing : 0;
  const char* phase = run.phase == PhaseEnded ? run.verdict.c_str() : PHASE_NAMES[run.phase];
  char text[512];
  int n;
  if (run.phase == PhaseWaiting)
    n = snprintf(text, sizeof text, "%-*s  %-11s %-30s", name_width, run.name.c_str(), phase,
                 run.unit ? "next unit, after 1 s of silence" : "a unit to answer");
  else
    n = snprintf(text, sizeof text, "%-*s  %-11s %3d %%  %6.0f B/s  %6.1f s", name_width,
                 run.name.c_str(), phase, percent, rate, seconds_since(run.unit_started_ms, end));
  if (setup.station && n > 0 && static_cast<size_t>(n) < sizeof text)
    snprintf(text + n, sizeof text - static_cast<size_t>(n), "  unit %u: %u OK, %u FAILED",
             run.unit, run.ok, run.failed);
  return text;
}

void draw_live() {
  uint64_t now = monotonic_ms();
  int width = console_width();
  std::string screen;
  if (drawn) screen = "\033[" + std::to_string(runs->size()) + "A";
  for (const PortRun& run : *runs) screen += "\r" + fit(live_line(run, now), width) + "\033[K\n";
  drawn = true;
  put(stdout, screen);
}

// The block a unit was at (from 1, the last once all are written) and how many there are.
int32_t block_reached(const PortRun& run, int32_t& blocks) {
  blocks = (setup.image_size + static_cast<int32_t>(BLOCK_SIZE) - 1) / BLOCK_SIZE;
  int32_t block = run.job.offset / static_cast<int32_t>(BLOCK_SIZE) + 1;
  return block < blocks ? block : blocks;
}

// What follows a unit's verdict on its plain line: why, or where it stopped.
std::string unit_remark(const PortRun& run, int result) {
  if (result == EXIT_INTERRUPTED) {
    int32_t blocks = 0;
    int32_t block = block_reached(run, blocks);
    return " at block " + std::to_string(block) + " of " + std::to_string(blocks);
  }
  if (!run.detail.empty()) return " (" + run.detail + ")";
  if (run.device_crc >= 0)
    return ", device CRC " + crc_text(run.device_crc) + " for " + crc_text(setup.image_crc);
  return "";
}

}  // namespace

std::string crc_text(int32_t crc) {
  char text[8];
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
  write_log_line(run, event, text, fields);
}

void report_phase(PortRun& run, Phase phase) {
  {
    std::lock_guard<std::mutex> hold(lock);
    if (run.phase == phase) return;
    run.phase = phase;
    if (!live) {
      const char* name = phase == PhaseEnded ? run.verdict.c_str() : PHASE_NAMES[phase];
      char text[64];
      snprintf(text, sizeof text, "%8.2f s  ", seconds_since(origin_ms, monotonic_ms()));
      put(stdout, text + run.name + "  " + name + "\n");
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
  std::string fields;
  {
    std::lock_guard<std::mutex> hold(lock);
    run.ended_ms = monotonic_ms();
    if (counted)
      (result == EXIT_OK ? run.ok : result == EXIT_INTERRUPTED ? run.interrupted : run.failed) += 1;
    if (!live && setup.station) {
      char text[64];
      snprintf(text, sizeof text, "%8.2f s  ", seconds_since(origin_ms, run.ended_ms));
      put(stdout, text + run.name + "  unit " + std::to_string(run.unit) + ": " +
                      verdict_of(result) + unit_remark(run, result) + "\n");
    }
    char numbers[160];
    snprintf(numbers, sizeof numbers,
             ",\"seconds\":%.3f,\"image_size\":%d,\"image_crc\":\"0x%04x\"",
             seconds_since(run.unit_started_ms, run.ended_ms), setup.image_size, setup.image_crc);
    fields = numbers;
    if (run.device_crc >= 0) fields += ",\"device_crc\":\"" + crc_text(run.device_crc) + "\"";
    if (!run.detail.empty()) fields += ",\"detail\":" + json_text(run.detail);
    if (result == EXIT_INTERRUPTED) {
      int32_t blocks = 0;
      int32_t block = block_reached(run, blocks);
      fields += ",\"block\":" + std::to_string(block) + ",\"blocks\":" + std::to_string(blocks) +
                ",\"phase\":\"" + PHASE_NAMES[run.phase] + "\"";
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
  std::string text = "\n";
  for (const PortRun& run : *runs) {
    char line[512];
    if (setup.station) {
      snprintf(line, sizeof line, "%-*s  %3u OK  %3u FAILED", name_width, run.name.c_str(), run.ok,
               run.failed);
      text += line;
      if (run.interrupted) text += "  " + std::to_string(run.interrupted) + " INTERRUPTED";
      if (run.result == EXIT_PORT) text += "  (port lost)";
    } else {
      snprintf(line, sizeof line, "%-*s  %-11s %7.2f s  %d bytes, CRC 0x%04x", name_width,
               run.name.c_str(), run.verdict.c_str(),
               seconds_since(run.unit_started_ms, run.ended_ms), setup.image_size, setup.image_crc);
      text += line;
      if (run.device_crc >= 0) text += ", device CRC " + crc_text(run.device_crc);
    }
    text += "\n";
  }
  if (log_failed) text += "the log " + log_path + " was not written whole\n";
  put(stdout, text);
  for (const std::string& error : errors) put(stderr, "quarv-flash: " + error + "\n");
}

bool report_log_failed() {
  std::lock_guard<std::mutex> hold(lock);
  return log_failed;
}

void report_close() {
  std::lock_guard<std::mutex> hold(lock);
  if (log_file && fclose(log_file) != 0 && !log_failed) {
    log_failed = true;
    put(stderr,
        "quarv-flash: the log " + log_path + " cannot be written (" + strerror(errno) + ")\n");
  }
  log_file = nullptr;
}
