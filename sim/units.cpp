// The device's life beyond one request: its flash and CRC, and the units that replace one
// another on a production line's fixture.
#include <utility>

#include "engine/frame.h"
#include "sim/device.h"

uint64_t sim_random(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void sim_device_init(SimDevice& device, uint32_t flash_size, const SimFaults& faults) {
  device = SimDevice{};
  device.flash.assign(flash_size, 0xFF);
  device.faults = faults;
  device.rng = faults.jitter_seed;
}

void sim_device_advance(SimDevice& device, uint64_t now_us) {
  const SimFaults& faults = device.faults;
  if (faults.next_unit_ms == 0 || !(device.reset_answered || device.gone) ||
      now_us < device.reset_answered_us + uint64_t{faults.next_unit_ms} * 1000)
    return;
  SimDevice next;
  SimFaults next_faults = faults;
  next_faults.wait_for_power = false;
  next_faults.power_on_us = device.reset_answered_us + uint64_t{faults.next_unit_ms} * 1000;
  sim_device_init(next, static_cast<uint32_t>(device.flash.size()), next_faults);
  next.unit = device.unit + 1;
  next.rng = device.rng;
  next.unit_crcs = std::move(device.unit_crcs);
  next.unit_crcs.push_back(sim_flash_crc(device));
  next.log = std::move(device.log);
  device = std::move(next);
}

void sim_device_power_on(SimDevice& device, uint64_t now_us) {
  device.faults.wait_for_power = false;
  device.faults.power_on_us = now_us;
}

uint16_t sim_region_crc(const SimDevice& device, uint32_t address, uint32_t length) {
  uint64_t flash_end = SIM_FLASH_BASE + uint64_t{device.flash.size()};
  uint64_t from = address < SIM_FLASH_BASE ? SIM_FLASH_BASE : address;
  uint64_t to = uint64_t{address} + length;
  if (to > flash_end) to = flash_end;
  if (from >= to) return frame_crc(nullptr, 0);
  return frame_crc(device.flash.data() + (from - SIM_FLASH_BASE), static_cast<int32_t>(to - from));
}

uint16_t sim_flash_crc(const SimDevice& device) {
  return sim_region_crc(device, SIM_FLASH_BASE, static_cast<uint32_t>(device.flash.size()));
}
