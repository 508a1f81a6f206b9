// What quarv-flash shows of its ports: the live lines, the plain lines' remarks and the
// summary, as text; report.cpp decides when and writes it.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "cli/flash.h"

// The block of live lines on the terminal, as it was last drawn.
struct Screen {
  int name_width = 16;        // the longest port name, so that the columns line up
  std::vector<size_t> drawn;  // the columns of each line
  int width = 0;              // the terminal's width then
};

const char* phase_name(Phase phase);
double seconds_since(uint64_t from_ms, uint64_t to_ms);
// Cut to fewer characters than width columns.
std::string fit(const std::string& text, int width);
// The whole block again, over the one drawn before; screen records what it drew.
std::string screen_redraw(const std::deque<PortRun>& runs, Screen& screen, const RunSetup& setup,
                          uint64_t now, int width);
// The block a unit was at (from 1, the last once all are written) and how many there are.
int32_t block_reached(const PortRun& run, int32_t& blocks, const RunSetup& setup);
// What follows a unit's verdict on its plain line: why, or where it stopped.
std::string unit_remark(const PortRun& run, int result, const RunSetup& setup);
// One line a port, after a blank one.
std::string summary_text(const std::deque<PortRun>& runs, const RunSetup& setup, int name_width);
