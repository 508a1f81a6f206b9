// libFuzzer target: whatever the line delivers, in whatever state the job is in, job_step
// stays inside its buffers, keeps its counters sane, sends nothing after the end, and only
// reports a verified flash for a reply that carries the matching CRC.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/status.h"
#include "diag/trace.h"
#include "engine/clock.h"
#include "engine/frame.h"
#include "engine/update_job.h"
#include "serial/port.h"

namespace {

const uint8_t* input;
size_t input_size, input_at;
UpdateJob job;
uint32_t now_ms;
bool ended;         // Done or Failed was reached: the line must stay quiet
int32_t last_read;  // byte count of the latest read
uint16_t image_crc;

// The next bytes of the input, big-endian; zeros once it runs out.
uint32_t take(int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value = value << 8 | (input_at < input_size ? input[input_at++] : 0);
  return value;
}

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "job_fuzz: %s\n", what);
  abort();
}

}  // namespace

// A read returns a fuzz-chosen number of fuzz-chosen bytes; a flag in the header seals them
// with a valid trailer, so the deeper states are reached without guessing CRCs.
int32_t port_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  check(port == job.port && buffer == job.frame, "read into a foreign buffer");
  check(count <= FRAME_CAPACITY, "read larger than the frame buffer");
  // Short reads take one header byte; 0x7F asks for a long one of any length.
  const uint32_t header = take(1);
  uint32_t n = header & 0x7F;
  if (n == 0x7F) n = take(2);
  n %= count + 1;
  if (n > input_size - input_at) n = static_cast<uint32_t>(input_size - input_at);
  if (n > 0) memcpy(buffer, input + input_at, n);
  input_at += n;
  if ((header & 0x80) && n >= 2) {
    const uint16_t crc = frame_crc(buffer, static_cast<int32_t>(n - 2));
    buffer[n - 2] = static_cast<uint8_t>(crc);
    buffer[n - 1] = static_cast<uint8_t>(crc >> 8);
  }
  now_ms += take(1);  // the read's own duration
  last_read = static_cast<int32_t>(n);
  return last_read;
}

int32_t port_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  check(!ended, "sent after the end");
  check(port == job.port && buffer == job.frame, "wrote a foreign buffer");
  check(count >= 5 && count <= FRAME_CAPACITY, "frame length out of range");
  check(reply_is_valid(job, static_cast<int32_t>(count)), "sent a frame with a bad trailer");
  return static_cast<int32_t>(count);
}

void port_purge(PortHandle port) {
  check(!ended, "purged after the end");
  check(port == job.port, "purged a foreign port");
}

uint32_t tick_count() { return now_ms; }

void sleep_ms(uint32_t ms) { now_ms += ms; }

void status_show(const char* text) {
  check(!ended, "status after the end");
  if (strcmp(text, "Program Verified OK") == 0) {
    check(last_read >= 13, "verified on a reply too short to carry a CRC");
    check(reply_region_crc(job) == image_crc, "verified on a CRC that differs");
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trace_to(fopen("/dev/null", "w"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input = data;
  input_size = size;
  input_at = 0;
  const uint32_t blocks = 1 + take(1) % 4;
  // The buffer starts with leftovers of earlier traffic, as it does in a long run.
  std::vector<uint8_t> frame(FRAME_CAPACITY);
  for (int i = 0; i < 13; ++i) frame[i] = static_cast<uint8_t>(take(1));
  std::vector<uint8_t> image(blocks * BLOCK_SIZE);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + blocks);
  image_crc = frame_crc(image.data(), static_cast<int32_t>(image.size()));

  job = UpdateJob{};
  job.port = reinterpret_cast<PortHandle>(uintptr_t{0x44});
  job.baud = 115200;
  job.target_address = TARGET_ADDRESS;
  job.receive_capacity = FRAME_CAPACITY;
  job.frame = frame.data();
  job.image = image.data();
  job.base_address = FLASH_BASE;
  job.image_size = static_cast<int32_t>(image.size());
  job.state = take(1) % 9;  // 8 stands for any unknown value
  job.offset = static_cast<int32_t>(take(1) % blocks * BLOCK_SIZE);
  job.chunk = BLOCK_SIZE;
  job.reply_timeout = take(1) & 1 ? REPLY_TIMEOUT_MS : PROBE_TIMEOUT_MS;
  now_ms = take(4);
  job.sent_at = now_ms - take(2);
  last_read = 0;
  ended = job.state == Done || job.state == Failed;

  for (int steps = 0; steps < 64 && input_at < input_size; ++steps) {
    const uint32_t before = job.state;
    job_step(job);
    check(job.state <= Done || job.state == before, "unknown state reached");
    check(job.offset >= 0 && job.offset <= job.image_size && job.offset % BLOCK_SIZE == 0,
          "offset off the block grid");
    check(job.chunk == static_cast<int32_t>(BLOCK_SIZE), "block shortened");
    check(job.frame_length >= 0 && job.frame_length <= static_cast<int32_t>(FRAME_CAPACITY),
          "frame length out of range");
    ended = job.state == Done || job.state == Failed;
    now_ms += 10 + take(2) % 6000;  // the next timer tick, sometimes seconds later
  }
  return 0;
}
