// The update job driven tick by tick against the simulated bootloader.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/frame.h"
#include "tests/job_harness.h"

namespace {

const uint64_t LIMIT_MS = 120000;
const std::string BLOCK0 = "PROG ADDR 0x8000000, LEN 0x400, FROM 0... - SENT - ";

// A device answering at once: two probe replies read as one block fail, the third links.
TEST(Job, TypicalRunTraceAndStatusesExact) {
  const std::vector<uint8_t> image = test_image(2012, 7);
  JobRun run;
  job_run_start(run, SimLineConfig{}, image);
  ASSERT_EQ(job_run(run, LIMIT_MS), Done);
  std::ifstream golden(QUARV_TEST_DATA "/typical_run_trace.txt", std::ios::binary);
  ASSERT_TRUE(golden.good());
  EXPECT_EQ(trace_since(run.trace_start), std::string(std::istreambuf_iterator<char>(golden), {}));
  EXPECT_EQ(status_history(), (std::vector<std::string>{
                                  "Establishing Link...", "programming 0x8000000",
                                  "programming 0x8000400", "Verifying...", "Program Verified OK",
                                  "Resetting target...", "Programming Completed OK"}));
  EXPECT_EQ(device_image(run), image);
  EXPECT_EQ(run.job.echoes, 0u);
  EXPECT_LT(job_quiet_ms(run.job), 100u);
}

// Each loses the first block's acknowledgement (request 4, after three probes): the block
// goes again after the time-out from the same offset, and one acknowledgement moves it on.
TEST(Job, LostWriteReplyResentAfterTimeoutWithOffsetUnmoved) {
  struct Case {
    const char* what;
    SimReplyFault first, repeat;
  } cases[] = {
      {"dropped", {true, false, 0, 0}, {}},
      {"corrupted", {false, true, 0, 0}, {}},
      {"split 30 ms", {false, false, 0, 30}, {}},  // each half is read alone and fails
      // Lands after the repeat has gone out and acknowledges it; the repeat's own never comes.
      {"late", {false, false, 5300, 0}, {true, false, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimLineConfig config;
    config.faults.reply[4] = c.first;
    config.faults.reply[5] = c.repeat;
    JobRun run;
    job_run_start(run, config, test_image(2012, 7));
    EXPECT_EQ(job_run(run, LIMIT_MS), Done);
    EXPECT_EQ(device_image(run), run.image);
    const std::string trace = trace_since(run.trace_start);
    EXPECT_NE(trace.find(BLOCK0 + "TIMEOUT\n" + BLOCK0 + "- OK\nPROG ADDR 0x8000400"),
              std::string::npos);
    EXPECT_EQ(trace.find("TIMEOUT"), trace.rfind("TIMEOUT"));
    const auto writes = host_sends(CMD_WRITE_BLOCK);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_NEAR(writes[1].at_us - writes[0].at_us, 5065000.0, 65000);
  }
}

TEST(Job, UnansweredResetsRepeatedUntilAnswered) {
  SimLineConfig config;
  config.faults.resets_unanswered = 4;
  JobRun run;
  job_run_start(run, config, test_image(2012, 7));
  ASSERT_EQ(job_run(run, LIMIT_MS), Done);
  const auto resets = host_sends(CMD_RESET);
  ASSERT_EQ(resets.size(), 5u);
  for (size_t i = 1; i < resets.size(); ++i)
    EXPECT_NEAR(resets[i].at_us - resets[i - 1].at_us, 117500.0, 7500) << "reset " << i;
}

// The tick counter wraps once, at the moment each request goes out in turn: the run must
// be indistinguishable from one far from the wrap.
TEST(Job, TickWrapAnywhereChangesNothing) {
  SimLineConfig config;
  config.faults.reply[4].drop = true;  // a 5 s time-out is measured across the wrap too
  JobRun run;
  job_run_start(run, config, test_image(2012, 7));
  ASSERT_EQ(job_run(run, LIMIT_MS), Done);
  const std::string trace = trace_since(run.trace_start);
  const std::vector<SimSent> baseline = sim_line().sent;
  for (const SimSent& wrap_at : baseline) {
    for (uint32_t before : {0u, 1u, 60u}) {
      const uint64_t ms = wrap_at.at_us / 1000 + before;
      SCOPED_TRACE("wrap at " + std::to_string(ms) + " ms");
      config.start_tick = static_cast<uint32_t>(0x100000000ull - ms);
      job_run_start(run, config, test_image(2012, 7));
      ASSERT_EQ(job_run(run, LIMIT_MS), Done);
      EXPECT_EQ(trace_since(run.trace_start), trace);
      ASSERT_EQ(sim_line().sent.size(), baseline.size());
      for (size_t i = 0; i < baseline.size(); ++i)
        EXPECT_EQ(sim_line().sent[i].at_us, baseline[i].at_us) << "send " << i;
    }
  }
}

// A loopback plug and no device: every request comes back as a valid "reply", so the job
// reaches Verifying, where its own 13-byte query returns with its trailer at bytes 11 and 12.
// The image is made so that its CRC is exactly that trailer read high byte first.
TEST(Job, EchoedQueryInVerifyingIsNoCrc) {
  std::vector<uint8_t> image = test_image(1000, 3);
  const std::vector<uint8_t> query = sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 1024});
  const uint16_t echoed = static_cast<uint16_t>(query[11] << 8 | query[12]);
  for (uint32_t tail = 0; frame_crc(image.data(), 1024) != echoed; ++tail) {
    ASSERT_LT(tail, 0x10000u);
    image[1022] = static_cast<uint8_t>(tail);
    image[1023] = static_cast<uint8_t>(tail >> 8);
  }
  SimLineConfig config;
  config.echo = true;
  JobRun run;
  job_run_start(run, config, image);
  job_run(run, 20000, false);
  EXPECT_EQ(run.job.state, Verifying);
  EXPECT_FALSE(status_shown("Program Verified OK"));
  EXPECT_EQ(trace_since(run.trace_start).find("Remote CRC"), std::string::npos);
  EXPECT_GE(host_sends(CMD_CRC_QUERY).size(), 4u);  // the query repeated, every 5 s
  // What a front end tells: requests came back (the first two probes' read as one), and no
  // answer came from the start, the echoes that moved the job on being none.
  EXPECT_GE(run.job.echoes, 4u);
  EXPECT_NEAR(job_quiet_ms(run.job), 20000.0, 300);
}

// With the option quarv-flash sets, a probe's reply is read before another probe goes out: a
// device that answers within the window hears exactly one probe once powered, whenever that is.
TEST(Job, ProbeReplyReadBeforeNextProbe) {
  struct Case {
    const char* what;
    uint64_t power_on_us;
    uint32_t first_reply_late_ms;
    size_t heard;  // probes the powered device takes before the first block
  } cases[] = {
      {"answers at once", 0, 0, 1},
      {"powered after 350 ms", 350000, 0, 1},
      {"powered after 1.23 s", 1230000, 0, 1},
      // Past the probe's time-out, within the dialog's pause: probed again, the second reply
      // would come in after the link is up and pass for the first block's acknowledgement.
      {"first reply 105 ms late", 0, 105, 1},
      {"first reply 150 ms late", 0, 150, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimLineConfig config;
    config.faults.power_on_us = c.power_on_us;
    config.faults.reply[1].delay_ms = c.first_reply_late_ms;
    JobRun run;
    job_run_start(run, config, test_image(2012, 7));
    run.job.read_probe_reply = true;
    ASSERT_EQ(job_run(run, LIMIT_MS), Done);
    EXPECT_EQ(device_image(run), run.image);
    size_t heard = 0;
    for (const SimLogEntry& entry : sim_line().device.log) {
      if (entry.command == CMD_WRITE_BLOCK) break;
      heard += entry.command == CMD_CRC_QUERY;
    }
    EXPECT_EQ(heard, c.heard);
    const auto probes = host_sends(CMD_CRC_QUERY);
    for (size_t i = 1; i + 1 < probes.size(); ++i)  // the last is the verify query
      EXPECT_NEAR(probes[i].at_us - probes[i - 1].at_us, 240000.0, 60000) << "probe " << i;
    // The answered probe is followed by the first block as soon as its reply is read, without
    // a pause on top.
    ASSERT_GE(probes.size(), 2u);
    EXPECT_LT(host_sends(CMD_WRITE_BLOCK)[0].at_us - probes[probes.size() - 2].at_us,
              c.first_reply_late_ms * 1000u + 60000u);
  }
}

}  // namespace
