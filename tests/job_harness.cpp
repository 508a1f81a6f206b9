#include "tests/job_harness.h"

#include <cstdio>

#include "diag/status_record.h"
#include "diag/trace.h"
#include "engine/frame.h"

namespace {

const uint64_t TICK_US = 10000;
const uintptr_t SOME_PORT = 0x44;

// One capture file for the whole test program; each run reads from where it started.
FILE* capture() {
  static FILE* file = [] {
    FILE* f = tmpfile();
    trace_to(f);
    return f;
  }();
  return file;
}

}  // namespace

std::vector<uint8_t> padded_image(const std::vector<uint8_t>& raw) {
  size_t blocks = raw.empty() ? 1 : (raw.size() - 1) / BLOCK_SIZE + 1;
  std::vector<uint8_t> image(blocks * BLOCK_SIZE, 0);
  std::copy(raw.begin(), raw.end(), image.begin());
  return image;
}

std::vector<uint8_t> pattern_bytes(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}

void job_run_start(JobRun& run, const SimLineConfig& config, const std::vector<uint8_t>& image) {
  sim_line_reset(config);
  status_history_clear();
  FILE* f = capture();
  fseek(f, 0, SEEK_END);
  run.trace_start = ftell(f);
  run.image = image;
  run.frame.assign(FRAME_CAPACITY, 0);
  run.job = UpdateJob{};
  run.job.port_path = "\\\\.\\com3";
  run.job.port = reinterpret_cast<PortHandle>(SOME_PORT);
  run.job.baud = 115200;
  run.job.target_address = TARGET_ADDRESS;
  run.job.receive_capacity = FRAME_CAPACITY;
  run.job.frame = run.frame.data();
  run.job.image = run.image.data();
  run.job.base_address = FLASH_BASE;
  run.job.image_size = static_cast<int32_t>(run.image.size());
  run.job.state = Start;
}

void job_run_tick(JobRun& run) {
  job_step(run.job);
  sim_line_advance(sim_line(), TICK_US);
}

uint32_t job_run_until_end(JobRun& run, uint64_t limit_ms) {
  const uint64_t end = sim_line().now_us + limit_ms * 1000;
  while (run.job.state != Done && run.job.state != Failed && sim_line().now_us < end)
    job_run_tick(run);
  return run.job.state;
}

void job_run_for(JobRun& run, uint64_t ms) {
  const uint64_t end = sim_line().now_us + ms * 1000;
  while (sim_line().now_us < end) job_run_tick(run);
}

std::string job_run_trace(const JobRun& run) {
  FILE* f = capture();
  fflush(f);
  fseek(f, run.trace_start, SEEK_SET);
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fseek(f, 0, SEEK_END);
  return text;
}

const std::vector<std::string>& job_run_statuses() { return status_history(); }

std::vector<uint8_t> device_image(const JobRun& run) {
  const std::vector<uint8_t>& flash = sim_line().device.flash;
  return std::vector<uint8_t>(flash.begin(), flash.begin() + run.image.size());
}

std::vector<SimLogEntry> device_requests(uint8_t command) {
  std::vector<SimLogEntry> found;
  for (const SimLogEntry& e : sim_line().device.log)
    if (e.trailer_ok && e.command == command) found.push_back(e);
  return found;
}

std::vector<SimSent> host_sends(uint8_t command) {
  std::vector<SimSent> found;
  for (const SimSent& s : sim_line().sent)
    if (s.command == command) found.push_back(s);
  return found;
}

std::vector<uint8_t> sealed(std::vector<uint8_t> bytes) {
  uint16_t crc = frame_crc(bytes.data(), static_cast<int32_t>(bytes.size()));
  bytes.push_back(static_cast<uint8_t>(crc));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

std::vector<uint8_t> device_crc_reply(uint32_t address, uint32_t length, uint16_t crc) {
  std::vector<uint8_t> reply = {TARGET_ADDRESS, FRAME_MARKER, CMD_CRC_QUERY};
  for (uint32_t v : {address, length})
    for (int shift = 24; shift >= 0; shift -= 8) reply.push_back(static_cast<uint8_t>(v >> shift));
  reply.push_back(static_cast<uint8_t>(crc >> 8));
  reply.push_back(static_cast<uint8_t>(crc));
  return sealed(reply);
}
