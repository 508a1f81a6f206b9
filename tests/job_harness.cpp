#include "tests/job_harness.h"

#include <algorithm>

#include "diag/trace.h"
#include "engine/frame.h"
#include "engine/image.h"

static std::string captured;
static void keep(void*, const char* piece) { captured += piece; }

std::vector<uint8_t> test_image(size_t length, uint64_t seed) {
  std::vector<uint8_t> bytes(length);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(sim_random(seed));
  bytes.resize(static_cast<size_t>(padded_image_size(static_cast<int32_t>(length))), 0);
  return bytes;
}

void job_run_start(JobRun& run, const SimLineConfig& config, const std::vector<uint8_t>& image) {
  sim_line_reset(config);
  status_history_clear();
  run.trace_start = trace_mark();
  run.image = image;
  run.frame.assign(FRAME_CAPACITY, 0);
  // As start-up, the image loader and the start button leave it; any non-null port will do.
  run.job = UpdateJob{nullptr,
                      &run,
                      115200,
                      TARGET_ADDRESS,
                      0,
                      FRAME_CAPACITY,
                      run.frame.data(),
                      Start,
                      run.image.data(),
                      FLASH_BASE,
                      0,
                      int32_t(image.size()),
                      0,
                      0,
                      0};
}

uint32_t job_run(JobRun& run, uint64_t limit_ms, bool until_end) {
  const uint64_t end = sim_line().now_us + limit_ms * 1000;
  while (sim_line().now_us < end &&
         !(until_end && (run.job.state == Done || run.job.state == Failed))) {
    job_step(run.job);
    sim_line_advance(sim_line(), 10000);
  }
  return run.job.state;
}

size_t trace_mark() {
  trace_to_sink(keep, nullptr);
  return captured.size();
}

std::string trace_since(size_t mark) { return captured.substr(mark); }

bool status_shown(const std::string& text) {
  const std::vector<std::string>& shown = status_history();
  return std::find(shown.begin(), shown.end(), text) != shown.end();
}

std::vector<uint8_t> device_image(const JobRun& run) {
  const std::vector<uint8_t>& flash = sim_line().device.flash;
  return std::vector<uint8_t>(flash.begin(), flash.begin() + run.image.size());
}

std::vector<SimSent> host_sends(uint8_t command) {
  std::vector<SimSent> found;
  for (const SimSent& s : sim_line().sent)
    if (s.command == command) found.push_back(s);
  return found;
}

std::vector<uint8_t> sealed_frame(uint8_t command, std::initializer_list<uint32_t> words,
                                  std::initializer_list<uint8_t> tail) {
  std::vector<uint8_t> frame = {TARGET_ADDRESS, FRAME_MARKER, command};
  for (uint32_t v : words)
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(v >> shift));
  frame.insert(frame.end(), tail);
  const uint16_t crc = frame_crc(frame.data(), static_cast<int32_t>(frame.size()));
  frame.push_back(static_cast<uint8_t>(crc));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}
