// quarv-sim: the simulated bootloader on a pseudo-terminal, so the real tool can be tried
// without a device. The pieces here are free of the terminal so they can be tested alone.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/line.h"

struct SimOptions {
  std::string link;  // where the pty's slave path is linked
  std::string log;   // JSON lines, one per request, then the flash CRC at exit
  std::string dump;  // the whole flash, written at exit
  bool pacing = true;
  bool power_on_signal = false;  // unpowered until SIGUSR1
  uint32_t power_off_ms = 0;
  uint32_t flash_size = 64 * 1024;
  SimFaults faults;
};

// Fills options from the command line; false with a message in error on bad input.
bool sim_parse_options(int argc, const char* const* argv, SimOptions& options, std::string& error);
const char* sim_usage();

// Host bytes not yet taken by the device, at most: more than one whole write block (1,035
// bytes) with a probe, as small as a device's receive buffer; what does not fit is lost.
enum : size_t { SIM_RECEIVE_CAPACITY = 2048 };

// The serial wire between the host and the device, in real microseconds since start.
// With pacing, a byte counts as arrived once its 11 bits would have crossed the line
// at 115,200 baud, and reply bytes leave no faster than that.
struct SimWire {
  bool pacing = true;
  uint64_t inbound_free_us = 0;   // when the host's bytes stop arriving
  uint64_t outbound_free_us = 0;  // when the device's transmitter is idle again
  std::deque<SimTimedByte> inbound;
  std::deque<SimTimedByte> outbound;
};

// Bytes read from the pty at now_us, stamped with the time each finishes arriving; those
// beyond SIM_RECEIVE_CAPACITY are dropped.
void wire_receive(SimWire& wire, const uint8_t* bytes, size_t count, uint64_t now_us);
// Hands every arrived byte to the device and schedules the replies it gives.
void wire_deliver(SimWire& wire, SimDevice& device, uint64_t now_us);
// Moves the reply bytes that are due by now_us to out.
void wire_take_due(SimWire& wire, uint64_t now_us, std::vector<uint8_t>& out);
// Puts bytes the pty could not take back at the head of the outbound queue.
void wire_unsend(SimWire& wire, const uint8_t* bytes, size_t count, uint64_t now_us);
// The earliest time something is due; UINT64_MAX when nothing is.
uint64_t wire_next_due(const SimWire& wire);

// One request of the device's log as a JSON line (no line end).
std::string sim_log_json(const SimLogEntry& entry);
// The closing line of the log: the units, each one's whole-flash CRC, the last one's counters.
std::string sim_exit_json(const SimDevice& device);
