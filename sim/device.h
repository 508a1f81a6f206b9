// A simulated Quarv bootloader: flash, request parser, replies and injectable faults.
// Time is in microseconds on whatever clock the caller runs (virtual in tests, real on a pty).
//
// Requests are those the updater sends (write block 0xF5, CRC query 0xF6, reset 0xF7),
// addressed to target 4 with marker 0x2B. Replies, each sealed with a CRC-16/MODBUS
// trailer, low byte first:
//   write block: 04 2B F5 addr[4] status           + trailer = 10 bytes
//   CRC query:   04 2B F6 addr[4] length[4] crc_hi crc_lo + trailer = 15 bytes
//   reset:       04 2B F7 status                   + trailer = 6 bytes
// addr and length are big-endian echoes of the request; status 0 = done, 1 = outside flash.
// The CRC covers the part of the region that lies inside flash, as it stands now.
//
// Units, for production-line tests. The device starts as unit 1. With app_after_reset, once
// it has answered a reset request it runs its application: every byte it receives is lost
// and it answers nothing. Without it, it goes on answering as a bootloader after a reset (a
// device that keeps answering). With next_unit_ms, that long after the device answered a
// reset a new unit replaces it: the next number, flash erased to 0xFF, bootloader answering,
// powered, counters of its own (so request-numbered faults, flip_write and resets_unanswered
// strike each unit alike; the power-on faults concern unit 1 only). Without it there is only
// the one unit. A unit taken off the fixture (leave_at_write) is replaced the same way, timed
// from when it left. Every log entry names the unit it reached; unit_crcs keeps the whole-flash CRC
// of each unit replaced.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

enum : uint32_t { SIM_FLASH_BASE = 0x08000000, SIM_TARGET = 4, SIM_MAX_PAYLOAD = 1024 };

// What can go wrong with the reply to one request.
struct SimReplyFault {
  bool drop = false;          // no reply at all
  bool corrupt = false;       // one byte of the reply altered, so its trailer fails
  uint32_t delay_ms = 0;      // reply held back this long
  uint32_t split_gap_ms = 0;  // reply sent in two halves this far apart (0 = whole)
};

struct SimFaults {
  uint64_t power_on_us = 0;                 // bytes arriving before this are lost
  bool wait_for_power = false;              // unpowered until sim_device_power_on()
  std::map<uint32_t, SimReplyFault> reply;  // by request number, counted from 1
  uint32_t flip_write = 0;         // write request number (from 1) whose programming flips a bit
  uint32_t flip_bit = 0;           // which bit of that block flips
  uint32_t drop_write = 0;         // write request number (from 1) programmed but not answered
  uint32_t resets_unanswered = 0;  // this many reset requests are ignored
  uint32_t program_ms = 0;         // flash programming time per write block
  // The slow_write-th write block (from 1) takes slow_write_ms to program (a large sector
  // erased first), and bytes that arrive meanwhile are lost, as a device busy erasing loses them.
  uint32_t slow_write = 0, slow_write_ms = 0;
  // From the mute_write-th write block on, every reply for mute_ms is lost (a line that drops
  // what the device sends for a while): as many replies as requests come in that time.
  uint32_t mute_write = 0, mute_ms = 0;
  uint32_t program_jitter_us = 0;  // programming takes up to this much longer, at random
  uint64_t jitter_seed = 0;        // seeds that randomness, so a run can be repeated
  bool app_after_reset = false;    // see "Units" above
  uint32_t next_unit_ms = 0;
  // By unit number: units whose reset reply is lost (the reset itself is carried out), and
  // units taken off the fixture as their K-th write block arrives (unprogrammed, unanswered;
  // from then on they take nothing, as with app_after_reset).
  std::set<uint32_t> reset_reply_lost;
  std::map<uint32_t, uint32_t> leave_at_write;
};

struct SimLogEntry {
  uint64_t at_us;
  uint8_t command;
  uint32_t address;
  uint32_t length;
  bool trailer_ok;
  uint32_t unit;
};

// A run of reply bytes that leaves the device no earlier than ready_us.
struct SimChunk {
  uint64_t ready_us;
  std::vector<uint8_t> bytes;
};

struct SimDevice {
  std::vector<uint8_t> flash;
  SimFaults faults;
  std::vector<uint8_t> pending;  // bytes of a frame not yet complete
  uint64_t last_byte_us = 0;
  uint32_t requests = 0;  // well-formed requests taken
  uint32_t writes = 0;
  uint32_t resets_ignored = 0;
  uint32_t restarts = 0;
  uint64_t busy_until_us = 0;  // slow_write: nothing is taken before then
  uint64_t mute_until_us = 0;  // mute_write: no reply leaves before then
  uint32_t unit = 1;
  bool reset_answered = false;  // by this unit, at reset_answered_us
  uint64_t reset_answered_us = 0;
  bool gone = false;  // taken off the fixture, at reset_answered_us
  uint64_t rng = 0;
  std::vector<uint16_t> unit_crcs;  // the whole-flash CRC of each unit replaced so far
  std::vector<SimLogEntry> log;     // of every unit
};

// splitmix64: the same sequence on every compiler and target, unlike <random>'s distributions.
uint64_t sim_random(uint64_t& state);

void sim_device_init(SimDevice& device, uint32_t flash_size, const SimFaults& faults);
void sim_device_power_on(SimDevice& device, uint64_t now_us);
// Puts the next unit in place when next_unit_ms has passed since a reset was answered.
void sim_device_advance(SimDevice& device, uint64_t now_us);
// Takes one byte that reached the device at at_us; appends any reply it triggers to out.
void sim_device_take(SimDevice& device, uint8_t byte, uint64_t at_us, std::vector<SimChunk>& out);
// CRC-16/MODBUS of the part of a region that lies inside flash.
uint16_t sim_region_crc(const SimDevice& device, uint32_t address, uint32_t length);
uint16_t sim_flash_crc(const SimDevice& device);
