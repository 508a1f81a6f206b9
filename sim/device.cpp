#include "sim/device.h"

#include <cstddef>

#include "engine/frame.h"

namespace {

// A partial frame older than this is abandoned, as a bootloader's receiver would.
const uint64_t FRAME_GAP_US = 10000;

uint32_t get_be32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

void put_be32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void seal(std::vector<uint8_t>& reply) {
  uint16_t crc = frame_crc(reply.data(), static_cast<int32_t>(reply.size()));
  reply.push_back(static_cast<uint8_t>(crc));
  reply.push_back(static_cast<uint8_t>(crc >> 8));
}

bool in_flash(const SimDevice& device, uint32_t address, uint32_t length) {
  uint64_t end = static_cast<uint64_t>(address) + length;
  return address >= SIM_FLASH_BASE && end <= SIM_FLASH_BASE + uint64_t{device.flash.size()};
}

// Expected length of the frame at the start of pending: 0 = not yet known, -1 = not a frame.
int32_t frame_length_of(const std::vector<uint8_t>& p) {
  if (p.size() >= 1 && p[0] != SIM_TARGET) return -1;
  if (p.size() >= 2 && p[1] != FRAME_MARKER) return -1;
  if (p.size() < 3) return 0;
  switch (p[2]) {
    case CMD_CRC_QUERY: return 13;
    case CMD_RESET: return 5;
    case CMD_WRITE_BLOCK: {
      if (p.size() < 9) return 0;
      int32_t n = p[7] << 8 | p[8];
      return n <= static_cast<int32_t>(SIM_MAX_PAYLOAD) ? n + 11 : -1;
    }
    default: return -1;
  }
}

std::vector<uint8_t> program_block(SimDevice& device, const uint8_t* frame) {
  uint32_t address = get_be32(frame + 3);
  uint32_t n = static_cast<uint32_t>(frame[7] << 8 | frame[8]);
  bool ok = in_flash(device, address, n);
  ++device.writes;
  if (ok) {
    uint8_t* at = device.flash.data() + (address - SIM_FLASH_BASE);
    // The bootloader erases before it programs, so the block takes the payload as sent.
    for (uint32_t i = 0; i < n; ++i) at[i] = frame[9 + i];
    if (device.writes == device.faults.flip_write && n > 0) {
      uint32_t bit = device.faults.flip_bit % (n * 8);
      at[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
  }
  std::vector<uint8_t> reply(frame, frame + 3);
  put_be32(reply, address);
  reply.push_back(ok ? 0 : 1);
  return reply;
}

std::vector<uint8_t> answer_crc_query(const SimDevice& device, const uint8_t* frame) {
  uint32_t address = get_be32(frame + 3);
  uint32_t length = get_be32(frame + 7);
  uint16_t crc = sim_region_crc(device, address, length);
  std::vector<uint8_t> reply(frame, frame + 11);
  reply.push_back(static_cast<uint8_t>(crc >> 8));
  reply.push_back(static_cast<uint8_t>(crc));
  return reply;
}

uint64_t programming_us(SimDevice& device) {
  uint64_t us = uint64_t{device.faults.program_ms} * 1000;
  uint32_t jitter = device.faults.program_jitter_us;
  return jitter == 0 ? us : us + sim_random(device.rng) % (jitter + 1);
}

// Turns a reply into the chunks that leave the device, applying this request's faults.
void emit(const SimDevice& device, std::vector<uint8_t> reply, uint64_t ready_us,
          std::vector<SimChunk>& out) {
  seal(reply);
  auto found = device.faults.reply.find(device.requests);
  SimReplyFault fault = found == device.faults.reply.end() ? SimReplyFault{} : found->second;
  if (fault.drop) return;
  if (fault.corrupt) reply[reply.size() / 2] ^= 0x5A;
  ready_us += uint64_t{fault.delay_ms} * 1000;
  if (fault.split_gap_ms == 0) {
    out.push_back({ready_us, reply});
    return;
  }
  size_t half = reply.size() / 2;
  out.push_back({ready_us, std::vector<uint8_t>(reply.begin(), reply.begin() + half)});
  // The second half follows the first by the gap, measured from when the first is ready.
  out.push_back({ready_us + uint64_t{fault.split_gap_ms} * 1000,
                 std::vector<uint8_t>(reply.begin() + half, reply.end())});
}

void restart(SimDevice& device, uint64_t at_us) {
  device.pending.clear();
  ++device.restarts;
  device.reset_answered = true;
  device.reset_answered_us = at_us;
}

void handle_frame(SimDevice& device, const uint8_t* frame, uint64_t at_us,
                  std::vector<SimChunk>& out) {
  ++device.requests;
  uint8_t command = frame[2];
  uint32_t address = command == CMD_RESET ? 0 : get_be32(frame + 3);
  uint32_t length = command == CMD_CRC_QUERY     ? get_be32(frame + 7)
                    : command == CMD_WRITE_BLOCK ? static_cast<uint32_t>(frame[7] << 8 | frame[8])
                                                 : 0;
  device.log.push_back({at_us, command, address, length, true, device.unit});
  auto leaving = device.faults.leave_at_write.find(device.unit);
  if (command == CMD_WRITE_BLOCK && leaving != device.faults.leave_at_write.end() &&
      leaving->second == device.writes + 1) {
    device.gone = true;
    device.reset_answered_us = at_us;
    return;
  }
  switch (command) {
    case CMD_WRITE_BLOCK: {
      std::vector<uint8_t> reply = program_block(device, frame);
      uint64_t ready_us = at_us + programming_us(device);
      if (device.writes == device.faults.slow_write) {
        ready_us = at_us + uint64_t{device.faults.slow_write_ms} * 1000;
        device.busy_until_us = ready_us;
      }
      if (device.writes == device.faults.mute_write)
        device.mute_until_us = at_us + uint64_t{device.faults.mute_ms} * 1000;
      if (device.writes != device.faults.drop_write && ready_us >= device.mute_until_us)
        emit(device, reply, ready_us, out);
      break;
    }
    case CMD_CRC_QUERY: emit(device, answer_crc_query(device, frame), at_us, out); break;
    case CMD_RESET:
      if (device.resets_ignored < device.faults.resets_unanswered) {
        ++device.resets_ignored;
        break;
      }
      if (!device.faults.reset_reply_lost.count(device.unit))
        emit(device, {frame[0], frame[1], frame[2], 0}, at_us, out);
      restart(device, at_us);
      break;
    default: break;
  }
}

// Takes the complete frame of this length at the start of pending if its trailer holds.
bool try_take_frame(SimDevice& device, int32_t length, uint64_t at_us, std::vector<SimChunk>& out) {
  std::vector<uint8_t>& p = device.pending;
  uint16_t trailer = static_cast<uint16_t>(p[length - 2] | p[length - 1] << 8);
  if (frame_crc(p.data(), length - 2) != trailer) {
    device.log.push_back({at_us, p[2], 0, static_cast<uint32_t>(length), false, device.unit});
    return false;
  }
  std::vector<uint8_t> frame(p.begin(), p.begin() + length);
  p.erase(p.begin(), p.begin() + length);
  handle_frame(device, frame.data(), at_us, out);
  return true;
}

// Consumes every complete frame at the start of pending, dropping bytes that start none.
void scan(SimDevice& device, uint64_t at_us, std::vector<SimChunk>& out) {
  std::vector<uint8_t>& p = device.pending;
  while (!p.empty()) {
    int32_t length = frame_length_of(p);
    if (length == 0 || (length > 0 && p.size() < static_cast<size_t>(length))) return;
    if (length > 0 && try_take_frame(device, length, at_us, out)) continue;
    p.erase(p.begin());  // resynchronise one byte further on
  }
}

}  // namespace

void sim_device_take(SimDevice& device, uint8_t byte, uint64_t at_us, std::vector<SimChunk>& out) {
  sim_device_advance(device, at_us);
  if ((device.faults.app_after_reset && device.reset_answered) || device.gone) return;
  if (device.faults.wait_for_power || at_us < device.faults.power_on_us) return;
  if (at_us < device.busy_until_us) return;
  if (!device.pending.empty() && at_us - device.last_byte_us > FRAME_GAP_US) device.pending.clear();
  device.last_byte_us = at_us;
  device.pending.push_back(byte);
  scan(device, at_us, out);
}
