// The one update in progress and the state machine that carries it.
#pragma once
#include <cstdint>

#include "engine/port.h"

enum JobState : uint32_t {
  Start = 0,
  Contact = 1,
  AwaitLink = 2,
  Writing = 3,
  Verifying = 4,
  Failed = 5,
  Resetting = 6,
  Done = 7,
};

enum : uint32_t {
  BLOCK_SIZE = 1024,
  FLASH_BASE = 0x08000000,
  TARGET_ADDRESS = 4,
  LINK_PROBE_LENGTH = 4,
  PROBE_TIMEOUT_MS = 100,
  PROBE_PAUSE_MS = 100,
  REPLY_TIMEOUT_MS = 5000,
  RESET_REPEAT_MS = 100,
  // A CRC-query reply carries the region CRC at bytes 11 and 12 and still ends in its own
  // trailer; a shorter valid reply (an echo of the 13-byte query itself, on a loopback plug)
  // can only hold that CRC in place of its trailer, by coincidence.
  CRC_REPLY_MIN = 15,
  // A front end names a line that has not moved the job on for this long; the engine itself
  // goes on as before.
  NO_ANSWER_TELL_MS = 10000,
};

struct UpdateJob {
  const char* port_path;
  PortHandle port;
  uint32_t baud;
  int32_t target_address;
  int32_t frame_length;
  uint32_t receive_capacity;
  uint8_t* frame;
  uint32_t state;
  uint8_t* image;
  uint32_t base_address;
  int32_t offset;
  int32_t image_size;
  int32_t chunk;
  uint32_t sent_at;
  uint32_t reply_timeout;
  // Link set-up reads for the probe's reply before probing again, instead of sleeping and
  // then probing before the read: a device that answers the first probe is probed once, and
  // no two replies arrive together to be refused as one. The dialog keeps its pacing (false).
  bool read_probe_reply = false;
  // What the line shows of itself, for a front end to tell: when a reply last moved the job on,
  // and how many reads gave back exactly the request just sent (a looped-back adapter, or none
  // on the line). The engine does not act on either.
  uint32_t answered_at = 0;
  uint32_t echoes = 0;
  uint32_t sent_sum = 0;
  int32_t sent_length = 0;
};

// Runs the entry action of state, then stores it in job.state.
void job_enter(UpdateJob& job, uint32_t state);
// One tick: at most one repeat, one read and one send of the next request.
void job_step(UpdateJob& job);
// Milliseconds since a reply last moved the job on (or since it started).
uint32_t job_quiet_ms(const UpdateJob& job);
