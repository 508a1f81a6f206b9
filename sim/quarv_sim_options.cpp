#include <cstring>

#include "sim/quarv_sim.h"

namespace {

const char USAGE[] =
    "Usage: quarv-sim --link PATH [options]\n"
    "\n"
    "Acts as a Quarv bootloader on a new pseudo-terminal whose path is linked at PATH\n"
    "(for Wine: $WINEPREFIX/dosdevices/comN), until SIGINT or SIGTERM; the link is\n"
    "removed at exit. Replies carry a CRC-16/MODBUS trailer, low byte first:\n"
    "  write block 0xF5: 04 2B F5 addr[4] status\n"
    "  CRC query   0xF6: 04 2B F6 addr[4] length[4] crc_hi crc_lo\n"
    "  reset       0xF7: 04 2B F7 status             (status 0 = done, 1 = outside flash)\n"
    "\n"
    "Line and device:\n"
    "  --flash-size N        flash bytes from 0x08000000, erased to 0xFF (default 65536)\n"
    "  --no-pacing           take and answer frames at once instead of at 115,200 baud 8E1\n"
    "                        (11 bit times per byte, both ways)\n"
    "  --program-ms N        flash programming time per write block (default 0)\n"
    "Output:\n"
    "  --log FILE            one JSON line per request received: time_ms since start,\n"
    "                        command, address, length, trailer_ok and unit; at exit a\n"
    "                        last line with units (how many there were), unit_flash_crcs\n"
    "                        (each unit's CRC-16/MODBUS of its whole flash, in order), and\n"
    "                        the last unit's number, flash_crc and counters\n"
    "  --dump FILE           write the last unit's whole flash to FILE at exit\n"
    "  (both files are opened at start: one that cannot be written is refused there)\n"
    "Production line (the device is unit 1; a unit counts its own requests and writes,\n"
    "so the faults below strike every unit alike, except the two power faults, which\n"
    "concern unit 1 only):\n"
    "  --app-after-reset     once the device has answered a reset request it runs its\n"
    "                        application: it takes no bytes and answers nothing.\n"
    "                        Without it, it goes on answering as a bootloader.\n"
    "  --next-unit-ms N      N ms after the device answered a reset request a new unit\n"
    "                        replaces it: the next unit number, flash erased to 0xFF,\n"
    "                        bootloader answering, powered, counters of its own.\n"
    "                        Without it there is only the one unit.\n"
    "  --lose-reset-reply U  unit U carries out its reset, but its reply is lost\n"
    "  --leave-at-write U:K  unit U is taken off the fixture as its K-th write block\n"
    "                        arrives: not programmed, it answers and takes nothing more;\n"
    "                        --next-unit-ms counts from then\n"
    "Faults (requests are counted from 1 in the order received, frames with a bad\n"
    "trailer not counted; each of these may be given several times; numbers are\n"
    "plain decimal):\n"
    "  --power-off-ms N      unpowered for N ms after start: bytes are lost\n"
    "  --power-on-signal     unpowered until SIGUSR1\n"
    "  --drop K              no reply to request K\n"
    "  --corrupt K           reply to request K with one byte altered\n"
    "  --delay K:MS          reply to request K held back MS ms\n"
    "  --split K:MS          reply to request K sent in two halves MS ms apart\n"
    "  --slow-write K:MS     the K-th write block takes MS ms to program, and bytes that\n"
    "                        arrive meanwhile are lost (a large sector erased first)\n"
    "  --mute-write K:MS     from the K-th write block on, every reply for MS ms is lost\n"
    "                        (each block is programmed)\n"
    "  --drop-write K        no reply to the K-th write block (it is programmed); unlike\n"
    "                        --drop K, not shifted by a link probe the tool repeats\n"
    "  --flip-write K[:BIT]  the K-th write block (from 1) is programmed with bit BIT\n"
    "                        of the block (default 0) flipped\n"
    "  --resets-unanswered N the first N reset requests are ignored\n"
    "  --help                this text\n"
    "  --version             print the version and exit\n"
    "\n"
    "Bytes sent faster than the line carries them wait, at most 2,048 of them; the\n"
    "rest are lost, as a device's full receive buffer loses them.\n"
    "--link refuses to replace anything but a symbolic link (a stale one of an earlier run).\n"
    "\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM, log and dump written; 1 could not start\n"
    "(link, pseudo-terminal, log or dump file) or could not write the log or dump at exit;\n"
    "2 bad options.\n";

// Plain decimal only: no sign, spaces, base prefix or leading zero, so that "010" cannot
// quietly mean 8 and a typo cannot pass for a number.
bool parse_u32(const char* text, uint32_t& value) {
  if (text == nullptr || *text == '\0' || (text[0] == '0' && text[1] != '\0')) return false;
  uint64_t parsed = 0;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    parsed = parsed * 10 + static_cast<uint64_t>(*at - '0');
    if (parsed > UINT32_MAX) return false;
  }
  value = static_cast<uint32_t>(parsed);
  return true;
}

// "K" or "K:N"; second keeps its value when there is no ":N".
bool parse_pair(const char* text, uint32_t& first, uint32_t& second, bool second_required) {
  if (text == nullptr) return false;
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return !second_required && parse_u32(text, first);
  std::string head(text, colon);
  return parse_u32(head.c_str(), first) && parse_u32(colon + 1, second);
}

}  // namespace

const char* sim_usage() { return USAGE; }

bool sim_parse_options(int argc, const char* const* argv, SimOptions& options, std::string& error) {
  options = SimOptions{};
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool takes_value = true;
    bool ok = true;
    uint32_t k = 0;
    uint32_t n = 0;
    if (name == "--no-pacing") {
      options.pacing = false;
      takes_value = false;
    } else if (name == "--app-after-reset") {
      options.faults.app_after_reset = true;
      takes_value = false;
    } else if (name == "--next-unit-ms") {
      ok = parse_u32(value, options.faults.next_unit_ms) && options.faults.next_unit_ms > 0;
    } else if (name == "--lose-reset-reply") {
      ok = parse_u32(value, k) && k > 0;
      if (ok) options.faults.reset_reply_lost.insert(k);
    } else if (name == "--leave-at-write") {
      ok = parse_pair(value, k, n, true) && k > 0 && n > 0;
      if (ok) options.faults.leave_at_write[k] = n;
    } else if (name == "--power-on-signal") {
      options.power_on_signal = true;
      takes_value = false;
    } else if (name == "--link" || name == "--log" || name == "--dump") {
      ok = value != nullptr && *value != '\0';
      if (ok)
        (name == "--link" ? options.link : name == "--log" ? options.log : options.dump) = value;
    } else if (name == "--flash-size") {
      ok = parse_u32(value, options.flash_size) && options.flash_size > 0;
    } else if (name == "--program-ms") {
      ok = parse_u32(value, options.faults.program_ms);
    } else if (name == "--power-off-ms") {
      ok = parse_u32(value, options.power_off_ms);
    } else if (name == "--resets-unanswered") {
      ok = parse_u32(value, options.faults.resets_unanswered);
    } else if (name == "--drop" || name == "--corrupt") {
      ok = parse_u32(value, k) && k > 0;
      if (ok)
        (name == "--drop" ? options.faults.reply[k].drop : options.faults.reply[k].corrupt) = true;
    } else if (name == "--delay" || name == "--split") {
      ok = parse_pair(value, k, n, true) && k > 0;
      if (ok)
        (name == "--delay" ? options.faults.reply[k].delay_ms
                           : options.faults.reply[k].split_gap_ms) = n;
    } else if (name == "--slow-write") {
      ok = parse_pair(value, options.faults.slow_write, options.faults.slow_write_ms, true) &&
           options.faults.slow_write > 0;
    } else if (name == "--mute-write") {
      ok = parse_pair(value, options.faults.mute_write, options.faults.mute_ms, true) &&
           options.faults.mute_write > 0;
    } else if (name == "--drop-write") {
      ok = parse_u32(value, options.faults.drop_write) && options.faults.drop_write > 0;
    } else if (name == "--flip-write") {
      ok = parse_pair(value, options.faults.flip_write, options.faults.flip_bit, false) &&
           options.faults.flip_write > 0;
    } else {
      error = "unknown option " + name;
      return false;
    }
    if (!ok) {
      error = "bad or missing value for " + name;
      if (takes_value && value != nullptr) error += ": \"" + std::string(value) + "\"";
      return false;
    }
    if (takes_value) ++i;
  }
  if (options.link.empty()) {
    error = "--link PATH is required";
    return false;
  }
  return true;
}
