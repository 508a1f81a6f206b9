// The thread of one port: its own job, trace and status, nothing shared but the image.
#include <cstdio>

#include "cli/flash.h"
#include "diag/status.h"
#include "diag/trace.h"
#include "engine/clock.h"
#include "serial/serial.h"

std::atomic<bool> stop_requested{false};

namespace {

enum : uint32_t {
  BAUD = 115200,
  STEP_MARGIN_MS = 20,
  // Beyond the engine's resend after REPLY_TIMEOUT_MS: time for the resent request's answer.
  RESEND_GRACE_MS = 1000,
  // Station mode, writing or verifying: silence this long is a unit that left. A device may
  // be silent up to the engine's reply time-out (a sector erased, replies lost) and is still
  // the same board; one pulled is told once the engine's resend has gone unanswered too.
  UNIT_LEFT_MS = REPLY_TIMEOUT_MS + RESEND_GRACE_MS,
};

// How long silence lasts before the unit counts as gone, in station mode.
uint64_t gap_for(uint32_t state) {
  return state == Writing || state == Verifying ? uint64_t{UNIT_LEFT_MS} : uint64_t{UNIT_GAP_MS};
}

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
  job.read_probe_reply = true;
  job.frame = run.frame;
  job.image = setup.image;
  job.image_size = setup.image_size;
  job.base_address = FLASH_BASE;
  job.state = Start;
  // A unit's result carries its own facts only: not the removal or CRC of the one before, on
  // this adapter's earlier visit either.
  run.detail.clear();
  run.device_crc = -1;
  run.told_quiet = false;
  run.told_echo = false;
  report_unit_begins(run);
}

// The engine's facts of the line, in words, as soon as they hold; the job goes on as before.
void tell_line(PortRun& run) {
  const UpdateJob& job = run.job;
  uint32_t quiet_ms = job_quiet_ms(job);
  if (!run.told_quiet && quiet_ms >= NO_ANSWER_TELL_MS) {
    run.told_quiet = true;
    report_event(&run, "warning",
                 run.name + ": no valid reply from the device for " +
                     std::to_string(NO_ANSWER_TELL_MS / 1000) +
                     " s: check the adapter, the cable and the device's power",
                 ",\"quiet_ms\":" + std::to_string(quiet_ms));
  }
  if (!run.told_echo && job.echoes > 0) {
    run.told_echo = true;
    report_event(&run, "warning",
                 run.name +
                     ": the port reads back the requests it sends: the adapter is looped "
                     "back, or no device is connected to it",
                 ",\"echoes\":" + std::to_string(job.echoes));
  }
}

// A unit that stopped answering, in station mode: what it counts as, or not begun at all
// (it answered a probe and left before the link was made).
int unit_left(PortRun& run, uint32_t state, bool& left) {
  left = true;
  if (state == Resetting) {
    run.detail = "reset not confirmed";  // verified; its reset reply was lost, or it ran at once
    return EXIT_OK;
  }
  if (state == Writing || state == Verifying) {
    run.detail = "left before done";
    return EXIT_FAILED;
  }
  return EXIT_NO_ANSWER;
}

// Steps the job to its end: EXIT_OK, EXIT_FAILED, EXIT_NO_ANSWER, EXIT_PORT or, on a stop
// request, EXIT_INTERRUPTED. --wait bounds every wait for an answer, not only the first; once
// the device has answered, the bound covers one resend of the engine's, so that a single lost
// reply never ends a port.
// In station mode an answer after the gap of silence (gap_for) is a new unit's: the unit before
// has left by then, and the job ends there (see unit_left). Writing and verifying, requests are
// repeated as the engine repeats them, after its reply time-out: replies carry no block number,
// so an early repeat answered late as well would acknowledge the next block unsent. No request
// is sent once the silence is so near the gap that its answer could come after it.
int update_unit(PortRun& run, const RunSetup& setup, uint64_t answered_at, bool& left) {
  UpdateJob& job = run.job;
  uint64_t progress_at = answered_at;
  uint32_t state = job.state;
  int32_t offset = job.offset;
  while (!stop_requested && !run.removed) {
    uint64_t before = monotonic_ms();
    uint64_t gap = gap_for(state);
    if (setup.station && before - progress_at >= gap) return unit_left(run, state, left);
    if (setup.station && before - progress_at + SERIAL_READ_TOTAL_MS + STEP_MARGIN_MS >= gap)
      job.sent_at = tick_count();  // hold the repeat: only read
    job_step(job);
    if (port_error(job.port) || run.removed) return EXIT_PORT;
    tell_line(run);
    uint64_t now = monotonic_ms();
    if (job.state != state || job.offset != offset) {
      if (setup.station && now - progress_at >= gap) return unit_left(run, state, left);
      progress_at = now;
      state = job.state;
      offset = job.offset;
      report_progress(run, phase_of(state), offset);
    }
    if (state == Done) return EXIT_OK;
    if (state == Failed) {
      run.device_crc = reply_region_crc(job);  // the reply the engine judged is still in frame
      return EXIT_FAILED;
    }
    uint64_t wait_ms = uint64_t{setup.wait_s} * 1000;
    if (state >= Writing && wait_ms && wait_ms < REPLY_TIMEOUT_MS + RESEND_GRACE_MS)
      wait_ms = REPLY_TIMEOUT_MS + RESEND_GRACE_MS;
    if (wait_ms && now - progress_at > wait_ms) return EXIT_NO_ANSWER;
  }
  return run.removed ? EXIT_PORT : EXIT_INTERRUPTED;
}

void port_lost(PortRun& run) {
  char why[256];
  serial_error_text(port_error(run.port), why, sizeof why);
  char text[512];
  snprintf(text, sizeof text, "%s was lost (%s): reconnect it and run again", run.name.c_str(),
           why);
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
    bool left = false;
    int result = update_unit(run, setup, monotonic_ms(), left);
    if (result == EXIT_PORT) port_lost(run);
    if (result == EXIT_PORT && serial_is_network(run.name.c_str())) run.detail = "connection lost";
    report_unit_ends(run, result, false);
    report_port_ends(run, result, verdict_of(result));
    return;
  }
  uint32_t failed = 0;
  bool cut_short = false;
  uint64_t answered_at = 0;
  const bool network = serial_is_network(run.name.c_str());
  for (bool gap_seen = true;;) {
    if (!await_unit(run, gap_seen, answered_at)) {
      if (!network || !port_error(run.port) || stop_requested || !reconnect(run, setup)) break;
      // As a re-plugged adapter's: the silence between units may have passed unseen.
      gap_seen = true;
      continue;
    }
    start_job(run, setup);
    bool left = false;
    int result = update_unit(run, setup, answered_at, left);
    // A unit that answered a probe and left before the link was made was never begun.
    bool begun = result != EXIT_NO_ANSWER || run.job.state > AwaitLink;
    cut_short = result == EXIT_INTERRUPTED;
    // One cut short by a lost port is logged but not counted: how it stands is not known.
    if (result == EXIT_PORT && run.plugged) {
      // Pulled with a unit on it: the unit is not done, whatever it had reached.
      run.detail = "adapter removed";
      report_unit_ends(run, EXIT_FAILED, true);
      break;
    }
    if (result == EXIT_PORT && network) {
      // As a pulled adapter's: the unit is not done; the same tally goes on once connected.
      run.detail = "connection lost";
      report_unit_ends(run, EXIT_FAILED, begun);
      failed += begun;
      run.detail.clear();
      if (stop_requested || !reconnect(run, setup)) break;
      gap_seen = true;
      continue;
    }
    report_unit_ends(run, result, begun && result != EXIT_PORT);
    if (result == EXIT_PORT) break;
    if (begun && (result == EXIT_FAILED || result == EXIT_NO_ANSWER)) ++failed;
    // A unit that left has been silent for the gap already: the next answer is a new unit's.
    gap_seen = left;
    run.detail.clear();
    run.device_crc = -1;
  }
  if (run.plugged && (port_error(run.port) || run.removed) && !stop_requested) {
    report_event(&run, "removed", run.name + " was removed: served again when it comes back");
    report_port_ends(run, run.failed ? EXIT_FAILED : EXIT_OK, "REMOVED");
  } else if (port_error(run.port)) {
    port_lost(run);
    report_port_ends(run, EXIT_PORT, verdict_of(EXIT_PORT));
  } else if (cut_short) {
    report_port_ends(run, EXIT_INTERRUPTED, verdict_of(EXIT_INTERRUPTED));
  } else {
    // An adapter's earlier visits count too.
    bool any = failed || run.failed;
    report_port_ends(run, any ? EXIT_FAILED : EXIT_OK, any ? "FAILED" : "OK");
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
