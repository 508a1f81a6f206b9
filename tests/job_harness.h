// Drives one update job over the simulated line the way the window's 10 ms timer does,
// and keeps what a test needs to judge it: the trace, the status texts and the wire log.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "diag/status_record.h"
#include "engine/update_job.h"
#include "sim/line.h"

struct JobRun {
  UpdateJob job{};
  std::vector<uint8_t> frame, image;
  size_t trace_start = 0;
};

// Pseudo-random content of length bytes, zero-padded to whole blocks as the loader does.
std::vector<uint8_t> test_image(size_t length, uint64_t seed);
// Resets the line and the status history, gives the job its start-up values and sets state 0.
void job_run_start(JobRun& run, const SimLineConfig& config, const std::vector<uint8_t>& image);
// Ticks for limit_ms of virtual time, or until Done or Failed if until_end; returns the state.
uint32_t job_run(JobRun& run, uint64_t limit_ms, bool until_end = true);

size_t trace_mark();  // the trace is kept for the whole test program, from its first mark
std::string trace_since(size_t mark);
bool status_shown(const std::string& text);
std::vector<uint8_t> device_image(const JobRun& run);  // the image region of the flash
std::vector<SimSent> host_sends(uint8_t command);      // the host's writes of this command

// 04 2B command, the words big-endian, then tail, sealed with the trailer (low byte first):
// a request, or the simulated device's reply in its documented layout.
std::vector<uint8_t> sealed_frame(uint8_t command, std::initializer_list<uint32_t> words,
                                  std::initializer_list<uint8_t> tail = {});
