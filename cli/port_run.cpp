// The thread of one port: its own job, trace and status, nothing shared but the image.
#include <cstdio>

#include "cli/flash.h"
#include "diag/status.h"
#include "diag/trace.h"
#include "engine/clock.h"

std::atomic<bool> stop_requested{false};

namespace {

enum : uint32_t {
  UNIT_GAP_MS = 1000,     // silence that tells one unit from the next in station mode
  PROBE_PERIOD_MS = 200,  // the engine's own pace on a silent line
  BAUD = 115200,
};

thread_local PortRun* current = nullptr;

// The engine's trace comes in pieces; the log takes it a line at a time.
void collect_trace(void* context, const char* piece) {
  auto& run = *static_cast<PortRun*>(context);
  for (const char* c = piece; *c; ++c) {
    if (*c != '\n') {
      run.trace_line += *c;
      continue;
    }
    report_event(&run, "trace", run.trace_line);
    run.trace_line.clear();
  }
}

Phase phase_of(uint32_t state) {
  switch (state) {
    case Writing: return PhaseWriting;
    case Verifying: return PhaseVerifying;
    case Resetting: return PhaseResetting;
    case Done:
    case Failed: return PhaseEnded;
    default: return PhaseContacting;
  }
}

void start_job(PortRun& run, const RunSetup& setup) {
  UpdateJob& job = run.job;
  job = UpdateJob{};
  job.port_path = run.name.c_str();
  job.port = run.port;
  job.baud = BAUD;
  job.target_address = TARGET_ADDRESS;
  job.receive_capacity = FRAME_CAPACITY;
  job.frame = run.frame;
  job.image = setup.image;
  job.image_size = setup.image_size;
  job.base_address = FLASH_BASE;
  job.state = Start;
  report_unit_begins(run);
}

// Steps the job to its end: EXIT_OK, EXIT_FAILED, EXIT_NO_ANSWER, EXIT_PORT or, on a stop
// request, EXIT_INTERRUPTED. --wait bounds every wait for an answer, not only the first.
int update_unit(PortRun& run, const RunSetup& setup) {
  UpdateJob& job = run.job;
  uint64_t progress_at = monotonic_ms();
  uint32_t state = job.state;
  int32_t offset = job.offset;
  while (!stop_requested) {
    job_step(job);
    if (port_error(job.port)) return EXIT_PORT;
    uint64_t now = monotonic_ms();
    if (job.state != state || job.offset != offset) {
      progress_at = now;
      state = job.state;
      offset = job.offset;
      report_progress(run, phase_of(state), offset);
    }
    if (state == Done) return EXIT_OK;
    if (state == Failed) return EXIT_FAILED;
    if (setup.wait_s && now - progress_at > uint64_t{setup.wait_s} * 1000) return EXIT_NO_ANSWER;
  }
  return EXIT_INTERRUPTED;
}

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

// Station mode: true once a new unit answers. After a unit, that is only after the port has
// been silent for UNIT_GAP_MS, so a device that keeps answering is never flashed twice.
bool await_unit(PortRun& run, bool first) {
  report_phase(run, PhaseWaiting);
  uint64_t last_answer = monotonic_ms();
  bool gap_seen = first;
  while (!stop_requested && !port_error(run.port)) {
    uint64_t sent = monotonic_ms();
    bool answered = probe_answered(run);
    uint64_t now = monotonic_ms();
    if (answered && gap_seen) {
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

void port_lost(PortRun& run) {
  char text[160];
  snprintf(text, sizeof text, "%s was lost (system error %u): reconnect it and run again",
           run.name.c_str(), static_cast<unsigned>(port_error(run.port)));
  report_event(&run, "error", text);
}

}  // namespace

// The engine's status texts of the job on this thread go into its port's log.
void status_show(const char* text) {
  if (current) report_event(current, "status", text);
}

void run_port(PortRun& run, const RunSetup& setup) {
  current = &run;
  trace_to_sink(collect_trace, &run);
  if (!setup.station) {
    start_job(run, setup);
    int result = update_unit(run, setup);
    if (result == EXIT_PORT) port_lost(run);
    report_unit_ends(run, result, false);
    report_port_ends(run, result, verdict_of(result));
    return;
  }
  uint32_t failed = 0;
  for (bool first = true; await_unit(run, first); first = false) {
    start_job(run, setup);
    int result = update_unit(run, setup);
    if (result == EXIT_INTERRUPTED || result == EXIT_PORT) break;  // a unit cut short: not counted
    // A unit that answered a probe and left before the link was made was never begun.
    bool begun = result != EXIT_NO_ANSWER || run.job.state > AwaitLink;
    report_unit_ends(run, result, begun);
    if (begun && result != EXIT_OK) ++failed;
  }
  if (port_error(run.port)) {
    port_lost(run);
    report_port_ends(run, EXIT_PORT, verdict_of(EXIT_PORT));
  } else {
    report_port_ends(run, failed ? EXIT_FAILED : EXIT_OK, failed ? "FAILED" : "OK");
  }
}

const char* verdict_of(int result) {
  switch (result) {
    case EXIT_OK: return "OK";
    case EXIT_FAILED: return "FAILED";
    case EXIT_NO_ANSWER: return "NO ANSWER";
    case EXIT_PORT: return "PORT LOST";
    default: return "INTERRUPTED";
  }
}
