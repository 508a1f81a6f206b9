#include "diag/status.h"
#include "diag/trace.h"
#include "engine/clock.h"
#include "engine/frame.h"
#include "engine/update_job.h"

// FNV-1a: the read overwrites the request in the frame, so an echo is told by this and the length.
static uint32_t bytes_sum(const uint8_t* bytes, int32_t count) {
  uint32_t sum = 2166136261u;
  for (int32_t i = 0; i < count; ++i) sum = (sum ^ bytes[i]) * 16777619u;
  return sum;
}

static void send(UpdateJob& job) {
  job.sent_length = job.frame_length;
  job.sent_sum = bytes_sum(job.frame, job.frame_length);
  port_write(job.port, job.frame, static_cast<uint32_t>(job.frame_length));
}

// The frame still holds the read the job just judged.
static bool read_is_echo(const UpdateJob& job) {
  return job.frame_length > 0 && job.frame_length == job.sent_length &&
         bytes_sum(job.frame, job.frame_length) == job.sent_sum;
}

// An echo moves the job on as a reply would (the engine is left as it was), but it is no answer
// from the device: a looped-back line stays quiet, as a silent one does.
static void answered(UpdateJob& job) {
  if (!read_is_echo(job)) job.answered_at = tick_count();
}

uint32_t job_quiet_ms(const UpdateJob& job) { return tick_count() - job.answered_at; }

// Unsigned difference, so a wrap of the tick counter does not matter.
static bool waited_more_than(const UpdateJob& job, uint32_t limit) {
  return tick_count() - job.sent_at > limit;
}

static bool read_reply(UpdateJob& job) {
  job.frame_length = port_read(job.port, job.frame, job.receive_capacity);
  if (job.frame_length < 0) job.frame_length = 0;
  // No reply of the device's is as long as the request it answers, so no reply counts here.
  if (read_is_echo(job)) ++job.echoes;
  return reply_is_valid(job, job.frame_length);
}

static void enter_await_link(UpdateJob& job) {
  job.sent_at = tick_count();
  trace("CONTACTING...\n");
  build_crc_query(job, job.base_address, LINK_PROBE_LENGTH);
  send(job);
  // Reading for the reply takes the place of the pause: it ends as soon as the reply is in.
  if (!job.read_probe_reply) sleep_ms(PROBE_PAUSE_MS);
}

static void enter_writing(UpdateJob& job) {
  job.sent_at = tick_count();
  uint32_t address = job.base_address + static_cast<uint32_t>(job.offset);
  trace("PROG ADDR %#x, LEN %#x, FROM %#x...", address, static_cast<unsigned>(job.chunk),
        static_cast<unsigned>(job.offset));
  trace_flush();
  set_status("programming %#x", address);
  build_write_block(job, address, job.image + job.offset, job.chunk);
  send(job);
  trace(" - SENT - ");
  trace_flush();
}

static void enter_verifying(UpdateJob& job) {
  job.sent_at = tick_count();
  trace("Verifying address %#x, image size %#x bytes\n", job.base_address,
        static_cast<unsigned>(job.image_size));
  set_status("Verifying...");
  build_crc_query(job, job.base_address, static_cast<uint32_t>(job.image_size));
  send(job);
  trace("frame length %4d bytes sent\n", job.frame_length);
}

static void enter_resetting(UpdateJob& job) {
  job.sent_at = tick_count();
  trace("Resetting target\n");
  set_status("Resetting target...");
  build_reset(job);
  send(job);
  trace("frame length %4d bytes sent\n", job.frame_length);
}

void job_enter(UpdateJob& job, uint32_t state) {
  switch (state) {
    case Contact:
      job.chunk = BLOCK_SIZE;
      job.offset = 0;
      job.reply_timeout = PROBE_TIMEOUT_MS;
      job.echoes = 0;
      job.sent_length = 0;
      job.answered_at = tick_count();
      break;
    case AwaitLink: enter_await_link(job); break;
    case Writing: enter_writing(job); break;
    case Verifying: enter_verifying(job); break;
    case Resetting: enter_resetting(job); break;
    case Done: set_status("Programming Completed OK"); break;
    default: break;
  }
  job.state = state;
}

static bool read_probe_reply(UpdateJob& job) {
  bool valid = read_reply(job);
  if (job.frame_length > 0) {
    trace("RX:");
    for (int32_t i = 0; i < job.frame_length; ++i) trace(" %02x", job.frame[i]);
    trace("\n");
  }
  return valid;
}

static void step_await_link(UpdateJob& job) {
  bool valid;
  if (job.read_probe_reply) {
    valid = read_probe_reply(job);
    // The pause the dialog sleeps is here time to listen: a reply up to that late is heard, not
    // taken, after a second probe, for the first block's acknowledgement. The pace on a silent
    // line stays the dialog's.
    if (!valid && waited_more_than(job, job.reply_timeout + PROBE_PAUSE_MS))
      job_enter(job, AwaitLink);
  } else {
    if (waited_more_than(job, job.reply_timeout)) job_enter(job, AwaitLink);
    valid = read_probe_reply(job);
  }
  if (!valid) return;
  answered(job);
  trace("REMOTE DEVICE LINK ESTABLISHED\n");
  job.reply_timeout = REPLY_TIMEOUT_MS;
  port_purge(job.port);
  job_enter(job, Writing);
}

static void step_writing(UpdateJob& job) {
  if (waited_more_than(job, job.reply_timeout)) {
    trace("TIMEOUT\n");
    job_enter(job, Writing);
  }
  if (!read_reply(job)) return;
  answered(job);
  // Any valid reply acknowledges the block last sent: the device's replies carry no block number.
  trace("- OK\n");
  trace_flush();
  job.offset += job.chunk;
  if (job.offset < job.image_size) {
    if (job.image_size - job.offset < job.chunk) job.chunk = job.image_size - job.offset;
    job_enter(job, Writing);
  } else {
    job_enter(job, Verifying);
  }
}

static void step_verifying(UpdateJob& job) {
  if (waited_more_than(job, job.reply_timeout)) job_enter(job, Verifying);
  if (!read_reply(job)) return;
  // A shorter reply (a late acknowledgement of the last block, the query's own echo) has no CRC
  // in it; comparing stale or trailer bytes could pass flash never checked, or fail a good one.
  if (job.frame_length < static_cast<int32_t>(CRC_REPLY_MIN)) return;
  answered(job);
  uint16_t remote = reply_region_crc(job);
  uint16_t local = frame_crc(job.image, job.image_size);
  trace("Remote CRC %#x\n", remote);
  trace("Local  CRC %#x\n", local);
  if (remote == local) {
    trace("CRCs match\n");
    set_status("Program Verified OK");
    job_enter(job, Resetting);
  } else {
    trace("CRC FAIL\n");
    set_status("FAILED");
    job.state = Failed;
  }
}

static void step_resetting(UpdateJob& job) {
  if (waited_more_than(job, RESET_REPEAT_MS)) job_enter(job, Resetting);
  if (!read_reply(job)) return;
  answered(job);
  trace("frame length %4d bytes received & OK\n", job.frame_length);
  job_enter(job, Done);
}

void job_step(UpdateJob& job) {
  switch (job.state) {
    case Start: job_enter(job, Contact); break;
    case Contact:
      set_status("Establishing Link...");
      job_enter(job, AwaitLink);
      break;
    case AwaitLink: step_await_link(job); break;
    case Writing: step_writing(job); break;
    case Verifying: step_verifying(job); break;
    case Resetting: step_resetting(job); break;
    default: break;  // Failed, Done and unknown states do nothing
  }
}
