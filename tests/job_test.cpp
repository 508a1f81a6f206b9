// The update job driven tick by tick against the simulated bootloader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/frame.h"
#include "tests/job_harness.h"

namespace {

const uint64_t LIMIT_MS = 120000;
const std::string BLOCK0 = "PROG ADDR 0x8000000, LEN 0x400, FROM 0... - SENT - ";
const std::string BLOCK1 = "PROG ADDR 0x8000400, LEN 0x400, FROM 0x400... - SENT - ";

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<uint64_t> gaps_ms(const std::vector<SimSent>& sends) {
  std::vector<uint64_t> gaps;
  for (size_t i = 1; i < sends.size(); ++i)
    gaps.push_back((sends[i].at_us - sends[i - 1].at_us) / 1000);
  return gaps;
}

// The CRC register after two more bytes (tail's low byte first), to steer an image's CRC.
uint16_t crc_continued(uint16_t crc, uint32_t tail) {
  for (int i = 0; i < 16; ++i) {
    if (i % 8 == 0) crc ^= static_cast<uint8_t>(tail >> i);
    crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

TEST(Job, TypicalRunTraceAndStatusesExact) {
  JobRun run;
  const std::vector<uint8_t> image = test_image(2012, 7);
  ASSERT_EQ(image.size(), 2048u);
  job_run_start(run, SimLineConfig{}, image);
  ASSERT_EQ(job_run_until_end(run, LIMIT_MS), Done);

  // The first two probe replies are read in one block; the third alone establishes the link.
  const std::string probe = " 04 2b f6 08 00 00 00 00 00 00 04 b0 01 00 ab";
  EXPECT_EQ(trace_since(run.trace_start),
            "CONTACTING...\nCONTACTING...\nRX:" + probe + probe + "\nCONTACTING...\nRX:" + probe +
                "\nREMOTE DEVICE LINK ESTABLISHED\n" + BLOCK0 + "- OK\n" + BLOCK1 + "- OK\n" +
                "Verifying address 0x8000000, image size 0x800 bytes\n"
                "frame length   13 bytes sent\n"
                "Remote CRC 0xee0d\n"
                "Local  CRC 0xee0d\n"
                "CRCs match\n"
                "Resetting target\n"
                "frame length    5 bytes sent\n"
                "frame length    6 bytes received & OK\n");
  EXPECT_EQ(status_history(), (std::vector<std::string>{
                                  "Establishing Link...", "programming 0x8000000",
                                  "programming 0x8000400", "Verifying...", "Program Verified OK",
                                  "Resetting target...", "Programming Completed OK"}));
  EXPECT_EQ(device_image(run), image);
  // The step that takes the link sends the third probe and the first block: they are apart
  // by the probe's pause and one read, less than the 200 ms between two probing steps.
  EXPECT_LT(host_sends(CMD_WRITE_BLOCK)[0].at_us - host_sends(CMD_CRC_QUERY)[2].at_us, 200000u);
}

TEST(Job, SilentLineProbeSpacing) {
  SimLineConfig config;
  config.faults.wait_for_power = true;
  JobRun run;
  job_run_start(run, config, test_image(2012, 7));
  job_run_for(run, 3000);
  EXPECT_EQ(run.job.state, AwaitLink);
  const std::vector<uint64_t> gaps = gaps_ms(host_sends(CMD_CRC_QUERY));
  ASSERT_GE(gaps.size(), 10u);
  EXPECT_GT(gaps[0], 100u);
  EXPECT_LT(gaps[0], 130u);
  for (size_t i = 1; i < gaps.size(); ++i) {
    EXPECT_GT(gaps[i], 200u) << "gap " << i;
    EXPECT_LT(gaps[i], 240u) << "gap " << i;
  }
  EXPECT_TRUE(sim_line().device.log.empty());
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
    SimLineConfig config;
    config.faults.reply[4] = c.first;
    config.faults.reply[5] = c.repeat;
    JobRun run;
    job_run_start(run, config, test_image(2012, 7));
    EXPECT_EQ(job_run_until_end(run, LIMIT_MS), Done) << c.what;
    EXPECT_EQ(device_image(run), run.image) << c.what;
    const std::string trace = trace_since(run.trace_start);
    EXPECT_NE(trace.find(BLOCK0 + "TIMEOUT\n" + BLOCK0 + "- OK\n" + BLOCK1 + "- OK\n"),
              std::string::npos)
        << c.what << "\n"
        << trace;
    EXPECT_EQ(count(trace, "TIMEOUT"), 1u) << c.what;
    const auto writes = host_sends(CMD_WRITE_BLOCK);
    ASSERT_EQ(writes.size(), 3u) << c.what;
    const uint64_t gap = (writes[1].at_us - writes[0].at_us) / 1000;
    EXPECT_GT(gap, 5000u) << c.what;
    EXPECT_LT(gap, 5130u) << c.what;
  }
}

TEST(Job, FlashBitFlipFailsAndThenStaysQuiet) {
  SimLineConfig config;
  config.faults.flip_write = 2;
  config.faults.flip_bit = 77;
  JobRun run;
  job_run_start(run, config, test_image(2012, 7));
  ASSERT_EQ(job_run_until_end(run, LIMIT_MS), Failed);
  EXPECT_EQ(status_history().back(), "FAILED");
  EXPECT_FALSE(status_shown("Program Verified OK"));
  EXPECT_EQ(count(trace_since(run.trace_start), "CRC FAIL\n"), 1u);
  const size_t sends = sim_line().sent.size();
  job_run_for(run, 10000);
  EXPECT_EQ(run.job.state, Failed);
  EXPECT_EQ(sim_line().sent.size(), sends);
  EXPECT_TRUE(host_sends(CMD_RESET).empty());
}

TEST(Job, UnansweredResetsRepeatedUntilAnswered) {
  SimLineConfig config;
  config.faults.resets_unanswered = 4;
  JobRun run;
  job_run_start(run, config, test_image(2012, 7));
  ASSERT_EQ(job_run_until_end(run, LIMIT_MS), Done);
  const auto resets = host_sends(CMD_RESET);
  ASSERT_EQ(resets.size(), 5u);
  for (uint64_t gap : gaps_ms(resets)) {
    EXPECT_GE(gap, 110u);
    EXPECT_LT(gap, 125u);
  }
  EXPECT_EQ(count(trace_since(run.trace_start), "Resetting target\n"), 5u);
  EXPECT_EQ(sim_line().device.restarts, 1u);
}

// The tick counter wraps once, at the moment each request goes out in turn: the run must
// be indistinguishable from one far from the wrap.
TEST(Job, TickWrapAnywhereChangesNothing) {
  SimLineConfig config;
  config.faults.reply[4].drop = true;  // a 5 s time-out is measured across the wrap too
  JobRun run;
  job_run_start(run, config, test_image(2012, 7));
  ASSERT_EQ(job_run_until_end(run, LIMIT_MS), Done);
  const std::string trace = trace_since(run.trace_start);
  const std::vector<SimSent> baseline = sim_line().sent;
  for (const SimSent& wrap_at : baseline) {
    for (uint32_t before : {0u, 1u, 60u}) {
      const uint64_t ms = wrap_at.at_us / 1000 + before;
      config.start_tick = static_cast<uint32_t>(0x100000000ull - ms);
      job_run_start(run, config, test_image(2012, 7));
      ASSERT_EQ(job_run_until_end(run, LIMIT_MS), Done) << "wrap at " << ms << " ms";
      EXPECT_EQ(trace_since(run.trace_start), trace) << "wrap at " << ms << " ms";
      ASSERT_EQ(sim_line().sent.size(), baseline.size()) << "wrap at " << ms << " ms";
      for (size_t i = 0; i < baseline.size(); ++i)
        EXPECT_EQ(sim_line().sent[i].at_us, baseline[i].at_us) << "send " << i;
    }
  }
}

// A reply shorter than 13 bytes holds no CRC. Both runs get the block's late acknowledgement
// and then the repeat's acknowledgement alone in Verifying, while the buffer's bytes 11 and 12
// still hold the query's trailer; the device's CRC answer comes a second later.
TEST(Job, ShortReplyInVerifyingCarriesNoCrc) {
  struct Case {
    const char* what;
    bool stale_match;  // the flash is wrong, but the query trailer read as a CRC is the local one
    uint32_t end;
  } cases[] = {
      {"stale bytes equal the local CRC, flash wrong", true, Failed},
      {"correct flash, late acknowledgement", false, Done},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> image = test_image(1000, 3);
    SimLineConfig config;
    config.faults.reply[4].delay_ms = 5300;  // acknowledges the repeated block
    config.faults.reply[5].delay_ms = 1000;  // arrives alone in Verifying
    config.faults.reply[6].delay_ms = 2000;  // the CRC answer
    if (c.stale_match) {
      const std::vector<uint8_t> query = sealed_frame(CMD_CRC_QUERY, {FLASH_BASE, 1024});
      const uint16_t stale = static_cast<uint16_t>(query[11] << 8 | query[12]);
      const uint16_t head = frame_crc(image.data(), 1022);
      uint32_t tail = 0;
      while (tail < 0x10000 && crc_continued(head, tail) != stale) ++tail;
      image[1022] = static_cast<uint8_t>(tail);
      image[1023] = static_cast<uint8_t>(tail >> 8);
      ASSERT_EQ(frame_crc(image.data(), 1024), stale);
      config.faults.flip_write = 2;  // the repeated write
      config.faults.flip_bit = 5;
    }
    JobRun run;
    job_run_start(run, config, image);
    EXPECT_EQ(job_run_until_end(run, LIMIT_MS), c.end) << c.what;
    EXPECT_EQ(status_shown("Program Verified OK"), c.end == Done) << c.what;
    EXPECT_EQ(status_history().back(), c.end == Done ? "Programming Completed OK" : "FAILED")
        << c.what;
    // Exactly one comparison: the short reply was not taken for a CRC answer.
    EXPECT_EQ(count(trace_since(run.trace_start), "Remote CRC"), 1u) << c.what;
    EXPECT_EQ(host_sends(CMD_CRC_QUERY).size(), 4u) << c.what;
  }
}

}  // namespace
