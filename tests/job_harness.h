// Drives one update job over the simulated line the way the window's 10 ms timer does,
// and keeps what a test needs to judge it: the trace, the status texts and the wire log.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/update_job.h"
#include "sim/line.h"

struct JobRun {
  UpdateJob job{};
  std::vector<uint8_t> frame;
  std::vector<uint8_t> image;  // padded
  long trace_start = 0;        // where this run's trace begins in the capture file
};

// The loader's padding: whole blocks, zero-filled, at least one block.
std::vector<uint8_t> padded_image(const std::vector<uint8_t>& raw);
// Pseudo-random image content of length bytes (not padded).
std::vector<uint8_t> pattern_bytes(size_t length, uint32_t seed);

// Resets the line and the status history, gives the job its start-up values and sets state 0.
void job_run_start(JobRun& run, const SimLineConfig& config, const std::vector<uint8_t>& image);
// One timer tick: a step, then 10 ms until the next.
void job_run_tick(JobRun& run);
// Ticks until Done or Failed or until limit_ms of virtual time have passed; returns the state.
uint32_t job_run_until_end(JobRun& run, uint64_t limit_ms);
// Ticks for ms of virtual time whatever the state.
void job_run_for(JobRun& run, uint64_t ms);

std::string job_run_trace(const JobRun& run);
const std::vector<std::string>& job_run_statuses();

// The image region of the simulated flash, for comparing with the padded image.
std::vector<uint8_t> device_image(const JobRun& run);
// Device log entries (well-formed requests only) with the given command.
std::vector<SimLogEntry> device_requests(uint8_t command);
// The host's writes with the given command byte.
std::vector<SimSent> host_sends(uint8_t command);

// Bytes sealed with a CRC trailer, low byte first.
std::vector<uint8_t> sealed(std::vector<uint8_t> bytes);
// The simulated device's answer to a CRC query, built from its documented reply layout.
std::vector<uint8_t> device_crc_reply(uint32_t address, uint32_t length, uint16_t crc);
