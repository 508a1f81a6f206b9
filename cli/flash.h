// quarv-flash: the update engine from the command line, one job per port, each on its own thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "engine/frame.h"
#include "engine/update_job.h"
#include "serial/net.h"
#include "serial/serial.h"

// Exit statuses, and each port's own result.
enum : int {
  EXIT_OK = 0,
  EXIT_FAILED = 1,         // a device failed verification
  EXIT_USAGE = 2,          // bad options or image: nothing was opened
  EXIT_PORT = 3,           // a port could not be opened or set up, or was lost
  EXIT_NO_ANSWER = 4,      // no answer within --wait
  EXIT_LOG = 5,            // every device as for 0, but the log could not be written whole
  EXIT_INTERRUPTED = 130,  // a signal before every port had ended, or in the midst of a unit
};

struct CliOptions {
  std::string image_path;
  std::string log_path;
  bool station = false;
  bool list = false;
  bool json = false;  // --list as JSON lines
  bool help = false;
  bool version = false;
  uint32_t wait_s = 60;  // 0: for ever
  std::vector<std::string> ports;
  std::vector<std::string> matches;  // --match IDs, each parsed by parse_match
};

// A --match ID: every field given must hold (texts may hold * and ?).
struct PortMatch {
  std::string vid, pid;  // four lower-case hex digits, or empty for any
  std::string serial, manufacturer, product;
};

bool parse_match(const std::string& pattern, PortMatch& match, std::string& error);
bool port_matches(const PortMatch& match, const PortInfo& port);
// A port as --list shows it: one line of text, or one JSON object.
std::string port_line(const PortInfo& port);
std::string port_json(const PortInfo& port);
// The port's USB identity as more JSON members for its log events; empty without one.
std::string identity_fields(const PortInfo& port);
// A JSON string in valid UTF-8, whatever the bytes.
std::string json_text(const std::string& text);

// How long one attempt to connect to a network port may take: NET_CONNECT_MS, or less with a
// shorter --wait.
uint32_t connect_ms(uint32_t wait_s);
// Fills options; false with a message in error on bad input.
bool parse_options(int argc, const char* const* argv, CliOptions& options, std::string& error);
// Port names: none twice, each a possible port name on this platform.
bool check_ports(const CliOptions& options, std::string& error);
const char* usage_text();
const char* verdict_of(int result);
// A CRC as the summary, the plain lines and the log show it: 0x followed by four hex digits.
std::string crc_text(int32_t crc);

// Loads the image file in any format the loader takes, naming the format it found; false with
// the loader's message.
bool read_image_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& format,
                     std::string& error);

// Where a port stands, as the live line and the plain lines show it.
enum Phase : int {
  PhaseOpening,
  PhaseContacting,
  PhaseWriting,
  PhaseVerifying,
  PhaseResetting,
  PhaseWaiting,  // station mode: for the next unit
  PhaseEnded,
};

// One port: its own job, frame buffer and port handle; the padded image is shared, read-only.
struct PortRun {
  std::string name;
  std::string identity;  // identity_fields of the port, in each of its log events
  std::string adapter;   // a station's adapter taken by --match: serial=SERIAL, or empty
  PortHandle port;
  UpdateJob job;
  uint8_t frame[FRAME_CAPACITY];
  std::string trace_line;  // the engine's trace line being built
  // Read by the display under the report lock.
  int result = EXIT_OK;  // this port's own exit status
  std::string verdict;   // OK, FAILED, NO ANSWER, PORT LOST, INTERRUPTED
  Phase phase = PhaseOpening;
  uint64_t unit_started_ms = 0;
  uint64_t writing_started_ms = 0;
  uint64_t ended_ms = 0;
  int32_t acknowledged = 0;
  uint32_t unit = 0;  // units begun on this port, from 1
  uint32_t ok = 0;
  uint32_t failed = 0;
  uint32_t interrupted = 0;
  // Taken by --match in a station: a pull is a removal (the adapter may come back), not a
  // lost port; removed is set once it is no longer listed, whatever its descriptor says.
  bool plugged = false;
  std::atomic<bool> removed{false};
  // Of the unit that ends, set by the port's thread before report_unit_ends.
  std::string detail;       // why, beside the verdict: "reset not confirmed", "left before done"
  int32_t device_crc = -1;  // the device's CRC of the region after a failed verification
  // What the line showed of itself, told once a unit: a silence of NO_ANSWER_TELL_MS, echoes.
  bool told_quiet = false;
  bool told_echo = false;
};

struct RunSetup {
  uint8_t* image;
  int32_t image_size;
  uint16_t image_crc;
  uint32_t wait_s;
  bool station;
};

extern std::atomic<bool> stop_requested;

enum : uint32_t { UNIT_GAP_MS = 1000 };  // silence that tells one unit from the next, in a station

// Station mode: true once a new unit answers, at answered_at; see station_unit.cpp.
bool await_unit(PortRun& run, bool gap_seen, uint64_t& answered_at);
// Station mode: connects a lost network port again, until it answers or a stop signal.
bool reconnect(PortRun& run, const RunSetup& setup);

// The body of a port's thread: one update, or units one after another in station mode.
void run_port(PortRun& run, const RunSetup& setup);
// Runs every port on its own thread until each has ended; with matches (a station), also
// takes every adapter that matches as it appears, and again when it comes back, until a stop
// signal. Closes the ports.
void serve_ports(std::deque<PortRun>& runs, const RunSetup& setup,
                 const std::vector<PortMatch>& matches);
bool matches_any(const std::vector<PortMatch>& matches, const PortInfo& port);

// Events, the JSON log, the live display and the summary; thread-safe. The fields of a PortRun
// that the display reads are written only through these.
bool report_open_log(const std::string& path, std::string& error);
void report_begin(std::deque<PortRun>& runs, const RunSetup& setup);
// A port taken by a station while it runs: a new entry at the end of runs.
PortRun& report_add_run(const std::string& name);
// An adapter back under another name, or the same.
void report_rename(PortRun& run, const std::string& name, const std::string& identity,
                   const std::string& adapter);
// One event of a port (or of the run, with run null) into the log; fields is more JSON
// members (",\"name\":value...") or empty.
void report_event(PortRun* run, const char* event, const std::string& text,
                  const std::string& fields = "");
void report_phase(PortRun& run, Phase phase);
void report_unit_begins(PortRun& run);
void report_progress(PortRun& run, Phase phase, int32_t acknowledged);
// The unit's result into the log, with run.detail and run.device_crc; counted in the tally when
// counted is set.
void report_unit_ends(PortRun& run, int result, bool counted);
// The port's own result at the end of its thread.
void report_port_ends(PortRun& run, int result, const char* verdict);
// Redraws the live lines (on a terminal) until no job is running.
void report_until_done(const std::atomic<int>& running);
void report_wake();
void report_summary();
// True once a line of the log could not be written (told on stderr then, and in the summary).
bool report_log_failed();
void report_close();
uint64_t monotonic_ms();
