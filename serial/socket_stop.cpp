// The stop flag both socket layers' waits look at, and the slices they wait in.
#include "engine/clock.h"
#include "serial/socket.h"

namespace {
const std::atomic<bool>* stop_flag = nullptr;
}

void socket_stop_on(const std::atomic<bool>* flag) { stop_flag = flag; }

bool socket_stopped() { return stop_flag && *stop_flag; }

uint32_t socket_wait_slice(uint32_t start, uint32_t wait_ms) {
  uint32_t spent = tick_count() - start;
  if (socket_stopped() || spent >= wait_ms) return 0;
  return wait_ms - spent < SOCKET_STOP_SLICE_MS ? wait_ms - spent : SOCKET_STOP_SLICE_MS;
}
