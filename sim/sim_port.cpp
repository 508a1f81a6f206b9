// The byte channel and the clock bound to the process-wide simulated line.
#include "engine/clock.h"
#include "engine/port.h"
#include "sim/line.h"

int32_t port_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  if (port == PORT_INVALID) return 0;
  return sim_line_read(sim_line(), buffer, count);
}

int32_t port_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  if (port == PORT_INVALID) return 0;
  sim_line_send(sim_line(), buffer, count);
  return static_cast<int32_t>(count);
}

void port_purge(PortHandle port) {
  if (port != PORT_INVALID) sim_line_purge(sim_line());
}

uint32_t port_error(PortHandle) { return 0; }  // the simulated line never fails

uint32_t tick_count() { return sim_line_tick(sim_line()); }

void sleep_ms(uint32_t ms) { sim_line_advance(sim_line(), uint64_t{ms} * 1000); }
