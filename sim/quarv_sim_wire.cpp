#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "engine/frame.h"
#include "sim/quarv_sim.h"

namespace {

void schedule_reply(SimWire& wire, const SimChunk& chunk) {
  uint64_t start = std::max(chunk.ready_us, wire.outbound_free_us);
  // The whole reply is handed over when its last byte would have crossed the line: written
  // byte by byte, a moment's descheduling of this process could split it into two reads.
  uint64_t at = wire.pacing ? sim_byte_done(start, chunk.bytes.size()) : start;
  for (uint8_t byte : chunk.bytes) wire.outbound.push_back({at, byte});
  // One transmitter: a held-back reply holds back those after it, so bytes keep their order.
  if (!chunk.bytes.empty()) wire.outbound_free_us = wire.outbound.back().at_us;
}

const char* command_name(uint8_t command) {
  switch (command) {
    case CMD_WRITE_BLOCK: return "write";
    case CMD_CRC_QUERY: return "crc";
    case CMD_RESET: return "reset";
    default: return "unknown";
  }
}

}  // namespace

void wire_receive(SimWire& wire, const uint8_t* bytes, size_t count, uint64_t now_us) {
  uint64_t start = wire.pacing ? std::max(now_us, wire.inbound_free_us) : now_us;
  size_t room = SIM_RECEIVE_CAPACITY - std::min(wire.inbound.size(), size_t{SIM_RECEIVE_CAPACITY});
  size_t taken = std::min(count, room);
  for (size_t i = 0; i < taken; ++i)
    wire.inbound.push_back({wire.pacing ? sim_byte_done(start, i + 1) : now_us, bytes[i]});
  if (taken > 0) wire.inbound_free_us = wire.inbound.back().at_us;
}

void wire_deliver(SimWire& wire, SimDevice& device, uint64_t now_us) {
  std::vector<SimChunk> replies;
  while (!wire.inbound.empty() && wire.inbound.front().at_us <= now_us) {
    SimTimedByte in = wire.inbound.front();
    wire.inbound.pop_front();
    replies.clear();
    sim_device_take(device, in.byte, in.at_us, replies);
    for (const SimChunk& chunk : replies) schedule_reply(wire, chunk);
  }
}

void wire_take_due(SimWire& wire, uint64_t now_us, std::vector<uint8_t>& out) {
  while (!wire.outbound.empty() && wire.outbound.front().at_us <= now_us) {
    out.push_back(wire.outbound.front().byte);
    wire.outbound.pop_front();
  }
}

void wire_unsend(SimWire& wire, const uint8_t* bytes, size_t count, uint64_t now_us) {
  for (size_t i = count; i > 0; --i) wire.outbound.push_front({now_us, bytes[i - 1]});
}

uint64_t wire_next_due(const SimWire& wire) {
  uint64_t next = UINT64_MAX;
  if (!wire.inbound.empty()) next = wire.inbound.front().at_us;
  if (!wire.outbound.empty()) next = std::min(next, wire.outbound.front().at_us);
  return next;
}

std::string sim_log_json(const SimLogEntry& entry) {
  char line[200];
  std::snprintf(line, sizeof line,
                "{\"time_ms\": %" PRIu64
                ".%03u, \"command\": \"%s\", \"code\": %u, "
                "\"address\": %" PRIu32 ", \"length\": %" PRIu32
                ", \"trailer_ok\": %s, \"unit\": %" PRIu32 "}",
                entry.at_us / 1000, static_cast<unsigned>(entry.at_us % 1000),
                command_name(entry.command), entry.command, entry.address, entry.length,
                entry.trailer_ok ? "true" : "false", entry.unit);
  return line;
}

std::string sim_exit_json(const SimDevice& device) {
  std::string crcs;
  for (uint16_t crc : device.unit_crcs) crcs += std::to_string(crc) + ", ";
  crcs += std::to_string(sim_flash_crc(device));
  char line[300];
  std::snprintf(
      line, sizeof line,
      "{\"flash_crc\": %u, \"flash_base\": %u, \"flash_size\": %zu, \"requests\": %" PRIu32
      ", \"writes\": %" PRIu32 ", \"restarts\": %" PRIu32 ", \"unit\": %" PRIu32
      ", \"units\": %" PRIu32 ", \"unit_flash_crcs\": [",
      sim_flash_crc(device), SIM_FLASH_BASE, device.flash.size(), device.requests, device.writes,
      device.restarts, device.unit, device.unit);
  return line + crcs + "]}";
}
