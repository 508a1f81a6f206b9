// The serial line to a simulated device on a virtual clock: bytes take 11 bit times
// at 115,200 baud (8 data bits, even parity, one stop bit), and reads return the way
// a Windows serial port with interval and total read time-outs does. Nothing waits
// in real time: reads and sleeps move the clock.
#pragma once
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/device.h"

struct SimLineConfig {
  uint32_t flash_size = 64 * 1024;
  uint32_t start_tick = 1000;      // the tick count when the clock starts
  uint32_t read_interval_ms = 20;  // a read ends this long after a byte with no further byte
  uint32_t read_total_ms = 100;    // a read ends this long after it starts at the latest
  uint32_t read_jitter_us = 0;     // a read starts up to this much late, as the PC schedules it;
                                   // seeded by faults.jitter_seed
  bool echo = false;               // no device: every byte sent comes back, as on a loopback plug
  SimFaults faults;
};

struct SimTimedByte {
  uint64_t at_us;  // when the byte is in the host's receive queue
  uint8_t byte;
};

// One write of the host, as the engine made it.
struct SimSent {
  uint64_t at_us;
  uint32_t count;
  uint8_t command;  // byte 2 of the frame, 0 when shorter
};

struct SimLine {
  SimLineConfig config;
  uint64_t now_us = 0;
  uint64_t to_device_free_us = 0;  // when the host's transmitter is idle again
  uint64_t to_host_free_us = 0;    // when the device's transmitter is idle again
  std::deque<SimTimedByte> to_host;
  SimDevice device;
  uint64_t bytes_to_device = 0;
  uint64_t rng = 0;
  std::vector<SimSent> sent;  // every host write, even those an unpowered device never sees
};

// Microseconds one byte occupies on the line: 11 bits at 115,200 baud.
double sim_byte_us();
// When the k-th byte (from 1) of a burst that starts at start_us has fully crossed the line.
uint64_t sim_byte_done(uint64_t start_us, uint64_t k);

// The process-wide line behind port_read/port_write/port_purge/tick_count/sleep_ms.
SimLine& sim_line();
void sim_line_reset(const SimLineConfig& config);

uint32_t sim_line_tick(const SimLine& line);
void sim_line_advance(SimLine& line, uint64_t us);
void sim_line_send(SimLine& line, const uint8_t* bytes, uint32_t count);
int32_t sim_line_read(SimLine& line, uint8_t* buffer, uint32_t count);
void sim_line_purge(SimLine& line);
