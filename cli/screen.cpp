#include "cli/screen.h"

#include <cstdio>

#include "loader/shown_text.h"

namespace {

const char* const PHASE_NAMES[] = {"opening",   "contacting", "writing", "verifying",
                                   "resetting", "waiting",    "ended"};

}  // namespace

const char* phase_name(Phase phase) { return PHASE_NAMES[phase]; }

double seconds_since(uint64_t from_ms, uint64_t to_ms) {
  return from_ms && to_ms > from_ms ? static_cast<double>(to_ms - from_ms) / 1000 : 0.0;
}

// Fewer characters than the terminal has columns, so that no line ever wraps (a wrapped
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

namespace {

// Port, phase, percent of blocks written, bytes/s, elapsed; while waiting, what for.
std::string live_line(const PortRun& run, uint64_t now, const RunSetup& setup, int name_width) {
  uint64_t end = run.phase == PhaseEnded && run.ended_ms ? run.ended_ms : now;
  int percent = static_cast<int>(100LL * run.acknowledged / setup.image_size);
  double writing = seconds_since(run.writing_started_ms, end);
  double rate = writing > 0 ? run.acknowledged / writing : 0;
  const char* phase = run.phase == PhaseEnded ? run.verdict.c_str() : PHASE_NAMES[run.phase];
  std::string name = shown_text(run.name);
  char text[512];
  int n;
  if (run.phase == PhaseWaiting)
    n = snprintf(text, sizeof text, "%-*s  %-11s %-30s", name_width, name.c_str(), phase,
                 run.unit ? "next unit, after 1 s of silence" : "a unit to answer");
  else
    n = snprintf(text, sizeof text, "%-*s  %-11s %3d %%  %6.0f B/s  %6.1f s", name_width,
                 name.c_str(), phase, percent, rate, seconds_since(run.unit_started_ms, end));
  if (setup.station && n > 0 && static_cast<size_t>(n) < sizeof text)
    snprintf(text + n, sizeof text - static_cast<size_t>(n), "  unit %u: %u OK, %u FAILED",
             run.unit, run.ok, run.failed);
  return text;
}

}  // namespace

int32_t block_reached(const PortRun& run, int32_t& blocks, const RunSetup& setup) {
  blocks = (setup.image_size + static_cast<int32_t>(BLOCK_SIZE) - 1) / BLOCK_SIZE;
  int32_t block = run.job.offset / static_cast<int32_t>(BLOCK_SIZE) + 1;
  return block < blocks ? block : blocks;
}

std::string unit_remark(const PortRun& run, int result, const RunSetup& setup) {
  if (result == EXIT_INTERRUPTED) {
    int32_t blocks = 0;
    int32_t block = block_reached(run, blocks, setup);
    return " at block " + std::to_string(block) + " of " + std::to_string(blocks);
  }
  if (!run.detail.empty()) return " (" + run.detail + ")";
  if (run.device_crc >= 0)
    return ", device CRC " + crc_text(run.device_crc) + " for " + crc_text(setup.image_crc);
  return "";
}

std::string screen_redraw(const std::deque<PortRun>& runs, Screen& screen, const RunSetup& setup,
                          uint64_t now, int width) {
  // Back to the block's first line. A terminal narrowed since then, if it rewraps its lines as
  // many do, shows each old line on as many rows as it now needs: going up only one row a line
  // would leave the upper rows standing, so it goes up all of them and erases what is below.
  size_t rows = 0;
  bool narrowed = width > 0 && screen.width > width;
  for (size_t columns : screen.drawn)
    rows += narrowed && columns > 0 ? (columns + static_cast<size_t>(width) - 1) / width : 1;
  std::string out;
  if (rows) out = "\033[" + std::to_string(rows) + "A";
  if (narrowed) out += "\r\033[J";
  screen.drawn.clear();
  for (const PortRun& run : runs) {
    std::string line = fit(live_line(run, now, setup, screen.name_width), width);
    size_t columns = 0;
    for (char c : line) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    screen.drawn.push_back(columns);
    out += "\r" + line + "\033[K\n";
  }
  screen.width = width;
  return out;
}

std::string summary_text(const std::deque<PortRun>& runs, const RunSetup& setup, int name_width) {
  std::string text = "\n";
  for (const PortRun& run : runs) {
    std::string name = shown_text(run.name);
    char line[512];
    if (setup.station) {
      snprintf(line, sizeof line, "%-*s  %3u OK  %3u FAILED", name_width, name.c_str(), run.ok,
               run.failed);
      text += line;
      if (run.interrupted) text += "  " + std::to_string(run.interrupted) + " INTERRUPTED";
      if (run.result == EXIT_PORT) text += "  (port lost)";
      if (!run.adapter.empty()) text += "  " + shown_text(run.adapter);
    } else {
      snprintf(line, sizeof line, "%-*s  %-11s %7.2f s  %d bytes, CRC 0x%04x", name_width,
               name.c_str(), run.verdict.c_str(), seconds_since(run.unit_started_ms, run.ended_ms),
               setup.image_size, setup.image_crc);
      text += line;
      if (run.device_crc >= 0) text += ", device CRC " + crc_text(run.device_crc);
    }
    text += "\n";
  }
  return text;
}
