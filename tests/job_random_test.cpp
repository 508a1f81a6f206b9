// Updates over a line and a device that misbehave at random, with a few ms of variation in the
// device's programming time and the host's reads, as on a real line. On every seed each run
// ends, within a bound, and never reports a check it did not make.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/frame.h"
#include "tests/job_harness.h"

namespace {

// Worst case: 3 s unpowered, 5 replies lost or held up to 12 s (a 5 s time-out each, plus the
// delay), 5 ignored resets, 16 blocks of 80 ms, torn replies resent until the variation heals
// them. The longest of 12,000 runs on 80 seeds took 59 s; without the variation some never end.
const uint64_t RUN_BOUND_MS = 3 * 60 * 1000;

uint64_t rng_state;
uint32_t below(uint32_t bound) { return static_cast<uint32_t>(sim_random(rng_state) % bound); }

SimLineConfig random_line(uint32_t blocks) {
  SimLineConfig config;
  config.start_tick = below(0xFFFFFFFFu);
  config.read_jitter_us = 3000;
  config.faults.program_jitter_us = 3000;
  config.faults.jitter_seed = below(0xFFFFFFFFu);
  // Requests past the last one in a clean run still get faults, for runs that repeat a lot.
  for (uint32_t n = below(5); n > 0; --n) {
    SimReplyFault& fault = config.faults.reply[1 + below(blocks + 12)];
    switch (below(4)) {
      case 0: fault.drop = true; break;
      case 1: fault.corrupt = true; break;
      case 2: fault.delay_ms = below(12000); break;
      default: fault.split_gap_ms = 1 + below(200); break;
    }
  }
  if (below(4) == 0) {
    config.faults.flip_write = 1 + below(blocks + 1);
    config.faults.flip_bit = below(8 * 1024);
  }
  if (below(3) == 0) config.faults.power_on_us = below(3000000);
  if (below(4) == 0) config.faults.resets_unanswered = 1 + below(5);
  if (below(3) == 0) config.faults.program_ms = below(80);
  return config;
}

TEST(JobRandom, EveryRunEndsTruthfullyOnEverySeed) {
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    rng_state = seed;
    JobRun run;
    for (int i = 0; i < 150; ++i) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(i));
      const std::vector<uint8_t> image = test_image(1 + below(16 * 1024), below(1u << 30));
      job_run_start(run, random_line(static_cast<uint32_t>(image.size() / 1024)), image);
      const uint32_t end = job_run(run, RUN_BOUND_MS);
      ASSERT_TRUE(end == Done || end == Failed) << "still in state " << end;
      // The CRC is the whole check the protocol has: a wrong flash with the image's CRC (one
      // in 65,536) passes on a real device too, so that alone is no fault of the job.
      ASSERT_EQ(end == Done, status_shown("Program Verified OK"));
      ASSERT_TRUE(end == Failed || sim_region_crc(sim_line().device, FLASH_BASE, image.size()) ==
                                       frame_crc(image.data(), int32_t(image.size())));
      ASSERT_EQ(status_history().back(), end == Done ? "Programming Completed OK" : "FAILED");
      if (end == Done) continue;
      ASSERT_NE(trace_since(run.trace_start).find("CRC FAIL\n"), std::string::npos);
      const size_t sends = sim_line().sent.size();
      job_run(run, 1000, false);  // a failed job stays quiet
      ASSERT_EQ(sim_line().sent.size(), sends);
    }
  }
}

}  // namespace
