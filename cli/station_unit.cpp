// Station mode between units: waiting for the next board to answer, and reaching a network
// port again once its connection is lost.
#include "cli/flash.h"
#include "engine/clock.h"
#include "serial/serial.h"

namespace {

enum : uint32_t {
  PROBE_PERIOD_MS = 200,  // the engine's own pace on a silent line
  RECONNECT_MS = 1000,    // between attempts to reach a network port again
};

// A link probe built by the engine, sent and read outside its state machine: does anything
// answer on the port now?
bool probe_answered(PortRun& run) {
  UpdateJob& job = run.job;
  job.frame = run.frame;
  job.target_address = TARGET_ADDRESS;
  build_crc_query(job, FLASH_BASE, LINK_PROBE_LENGTH);
  port_write(run.port, job.frame, static_cast<uint32_t>(job.frame_length));
  int32_t got = port_read(run.port, job.frame, FRAME_CAPACITY);
  return reply_is_valid(job, got);
}

}  // namespace

// True once a new unit answers, with the time it did in answered_at. Unless gap_seen, that is
// only after the port has been silent for UNIT_GAP_MS, so a device that keeps answering is
// never flashed twice.
bool await_unit(PortRun& run, bool gap_seen, uint64_t& answered_at) {
  report_phase(run, PhaseWaiting);
  uint64_t last_answer = monotonic_ms();
  while (!stop_requested && !port_error(run.port) && !run.removed) {
    uint64_t sent = monotonic_ms();
    bool answered = probe_answered(run);
    uint64_t now = monotonic_ms();
    if (answered && gap_seen) {
      answered_at = now;
      port_purge(run.port);
      return !port_error(run.port);
    }
    if (answered) last_answer = now;
    if (now - last_answer >= UNIT_GAP_MS) gap_seen = true;
    if (now - sent < PROBE_PERIOD_MS)
      sleep_ms(static_cast<uint32_t>(PROBE_PERIOD_MS - (now - sent)));
  }
  return false;
}

// A network port whose connection was lost is connected again, as an adapter
// plugged back is served again, every RECONNECT_MS until a stop signal. The lost connection
// stays the port's until a new one is made.
bool reconnect(PortRun& run, const RunSetup& setup) {
  char why[256];
  serial_error_text(port_error(run.port), why, sizeof why);
  report_event(&run, "removed", run.name + ": " + why + "; connecting again");
  bool told = false;
  while (!stop_requested) {
    char message[1024];
    bool unsuitable = false;
    PortHandle port = serial_open(run.name.c_str(), message, sizeof message,
                                  connect_ms(setup.wait_s), unsuitable);
    if (port != PORT_INVALID) {
      serial_close(run.port);
      run.port = port;
      report_event(&run, "connected", run.name + " connected again");
      return true;
    }
    if (!told) report_event(&run, "error", message);
    told = true;
    for (uint32_t waited = 0; waited < RECONNECT_MS && !stop_requested; waited += 50) sleep_ms(50);
  }
  return false;
}
