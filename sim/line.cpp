#include "sim/line.h"

#include <algorithm>
#include <cmath>
#include <utility>

static SimLine the_line;

double sim_byte_us() { return 11 * 1e6 / 115200; }

uint64_t sim_byte_done(uint64_t start_us, uint64_t k) {
  return start_us + static_cast<uint64_t>(std::llround(static_cast<double>(k) * sim_byte_us()));
}

SimLine& sim_line() { return the_line; }

void sim_line_reset(const SimLineConfig& config) {
  SimLine fresh;
  fresh.config = config;
  fresh.rng = ~config.faults.jitter_seed;  // a stream apart from the device's
  sim_device_init(fresh.device, config.flash_size, config.faults);
  the_line = std::move(fresh);
}

uint32_t sim_line_tick(const SimLine& line) {
  return line.config.start_tick + static_cast<uint32_t>(line.now_us / 1000);
}

void sim_line_advance(SimLine& line, uint64_t us) { line.now_us += us; }

static void queue_reply(SimLine& line, const SimChunk& chunk) {
  uint64_t start = std::max(chunk.ready_us, line.to_host_free_us);
  for (size_t i = 0; i < chunk.bytes.size(); ++i)
    line.to_host.push_back({sim_byte_done(start, i + 1), chunk.bytes[i]});
  // One transmitter: a held-back reply holds back the ones after it, so bytes stay in order.
  line.to_host_free_us = sim_byte_done(start, chunk.bytes.size());
}

// The device is simulated eagerly: each byte is handed over with the time it arrives,
// and its replies are queued with the times they will reach the host.
void sim_line_send(SimLine& line, const uint8_t* bytes, uint32_t count) {
  uint64_t start = std::max(line.now_us, line.to_device_free_us);
  std::vector<SimChunk> replies;
  for (uint32_t i = 0; i < count; ++i) {
    if (line.config.echo) {
      queue_reply(line, {sim_byte_done(start, i), {bytes[i]}});
      continue;
    }
    replies.clear();
    sim_device_take(line.device, bytes[i], sim_byte_done(start, i + 1), replies);
    for (const SimChunk& chunk : replies) queue_reply(line, chunk);
  }
  line.to_device_free_us = sim_byte_done(start, count);
  line.bytes_to_device += count;
  line.sent.push_back({line.now_us, count, count > 2 ? bytes[2] : uint8_t{0}});
}

int32_t sim_line_read(SimLine& line, uint8_t* buffer, uint32_t count) {
  if (line.config.read_jitter_us != 0)
    line.now_us += sim_random(line.rng) % (line.config.read_jitter_us + 1);
  const uint64_t start = line.now_us;
  const uint64_t deadline = start + uint64_t{line.config.read_total_ms} * 1000;
  const uint64_t interval = uint64_t{line.config.read_interval_ms} * 1000;
  uint32_t got = 0;
  uint64_t last = start;
  while (got < count && !line.to_host.empty()) {
    uint64_t at = std::max(line.to_host.front().at_us, start);
    if (at > deadline || (got > 0 && at > last + interval)) break;
    buffer[got++] = line.to_host.front().byte;
    line.to_host.pop_front();
    last = at;
  }
  if (got == count)
    line.now_us = last;
  else if (got == 0)
    line.now_us = deadline;
  else
    line.now_us = std::min(last + interval, deadline);
  return static_cast<int32_t>(got);
}

// Bytes already received are discarded; bytes still on the wire arrive later as usual.
void sim_line_purge(SimLine& line) {
  while (!line.to_host.empty() && line.to_host.front().at_us <= line.now_us)
    line.to_host.pop_front();
}
