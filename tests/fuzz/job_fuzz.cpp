// libFuzzer target: whatever the line brings, whenever the ticks come, from any state and block,
// job_step stays inside its buffers and does nothing undefined (the sanitizers are the oracle).
#include <cstring>
#include <vector>

#include "diag/trace.h"
#include "engine/clock.h"
#include "engine/frame.h"
#include "engine/update_job.h"

static const uint8_t* input;  // the fuzzer's bytes, left of them still unread
static size_t left;
static uint32_t now_ms;

static uint32_t take(size_t bytes) {
  uint32_t value = 0;
  for (; bytes > 0 && left > 0; --bytes, --left) value = value << 8 | *input++;
  return value;
}

// A read: fuzz-chosen bytes, up to the whole buffer, sealed if the header says (to go deep).
int32_t port_read(PortHandle, uint8_t* buffer, uint32_t count) {
  const uint32_t header = take(2);
  const size_t n = std::min<size_t>(header % (count + 1), left);
  memcpy(buffer, input, n);
  input += n;
  left -= n;
  const uint16_t crc = frame_crc(buffer, static_cast<int32_t>(n) - 2);  // x86: low byte first
  if (n >= 2 && header >> 15) memcpy(buffer + n - 2, &crc, 2);
  return static_cast<int32_t>(n);
}
int32_t port_write(PortHandle, const uint8_t*, uint32_t count) { return int32_t(count); }
void port_purge(PortHandle) {}
uint32_t tick_count() { return now_ms; }
void sleep_ms(uint32_t ms) { now_ms += ms; }
void status_show(const char*) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  trace_to_sink([](void*, const char*) {}, nullptr);
  input = data;
  left = size;
  const int32_t blocks = 1 + int32_t(take(1) % 4), offset = int32_t(take(1)) % blocks * 1024;
  std::vector<uint8_t> frame(1040), image(size_t(blocks) * 1024);
  UpdateJob job{nullptr, nullptr,       115200,      TARGET_ADDRESS,   0,
                1040,    frame.data(),  take(1) % 9, image.data(),     FLASH_BASE,
                offset,  blocks * 1024, 1024,        now_ms = take(4), 100};
  job.read_probe_reply = take(1) & 1;  // quarv-flash's link set-up as well as the dialog's
  while (left > 0) {
    job_step(job);
    now_ms += 10 + take(2) % 6000;  // the next tick, sometimes seconds later
  }
  return 0;
}
