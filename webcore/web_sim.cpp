// The simulated device for people without hardware, and the unit tests' line: the device
// model of quarv-sim on its virtual line inside the module. The page paces the virtual clock
// against its own, so an update takes as long as on a real line.
#include "engine/update_job.h"
#include "sim/line.h"
#include "webcore/web_api.h"

// flip_write: the write request (from 1) whose programming flips a bit, 0 for none.
WEB_EXPORT("web_sim_start")
void web_sim_start(uint32_t flip_write, uint32_t program_ms, uint32_t flash_kib) {
  SimLineConfig config;
  config.flash_size = (flash_kib ? flash_kib : 64) * 1024;
  config.faults.flip_write = flip_write;
  config.faults.program_ms = program_ms;
  sim_line_reset(config);
}

// Virtual microseconds since the line started, as a double: exact far beyond any update.
WEB_EXPORT("web_sim_now_us") double web_sim_now_us() { return double(sim_line().now_us); }

WEB_EXPORT("web_sim_advance") void web_sim_advance(uint32_t us) {
  sim_line_advance(sim_line(), us);
}

WEB_EXPORT("web_sim_crc") uint32_t web_sim_crc(uint32_t length) {
  return sim_region_crc(sim_line().device, FLASH_BASE, length);
}
