// The engine's byte channel, clock and status field in a browser. A read or a sleep has to wait
// for the page's event loop; the module is rewritten after linking (Asyncify) so that these two
// imports can suspend job_step and resume it where it stopped, the engine left as it is.
#include "diag/status.h"
#include "engine/clock.h"
#include "engine/port.h"
#include "sim/line.h"
#include "webcore/web_api.h"

WEB_IMPORT("port_read") int32_t js_port_read(uint8_t* buffer, uint32_t count);
WEB_IMPORT("port_write") int32_t js_port_write(const uint8_t* buffer, uint32_t count);
WEB_IMPORT("port_purge") void js_port_purge();
WEB_IMPORT("port_error") uint32_t js_port_error();
WEB_IMPORT("now_ms") uint32_t js_now_ms();
WEB_IMPORT("sleep_ms") void js_sleep_ms(uint32_t ms);
WEB_IMPORT("status") void js_status(const char* text);

static WebChannel channel = ChannelPage;

WebChannel web_channel() { return channel; }
void web_channel_set(WebChannel to) { channel = to; }

int32_t port_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  if (port == PORT_INVALID) return 0;
  if (channel == ChannelSimLine) return sim_line_read(sim_line(), buffer, count);
  int32_t got = js_port_read(buffer, count);
  return got < 0 ? 0 : got;
}

int32_t port_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  if (port == PORT_INVALID) return 0;
  if (channel == ChannelPage) return js_port_write(buffer, count);
  sim_line_send(sim_line(), buffer, count);
  return static_cast<int32_t>(count);
}

void port_purge(PortHandle port) {
  if (port == PORT_INVALID) return;
  if (channel == ChannelPage)
    js_port_purge();
  else
    sim_line_purge(sim_line());
}

uint32_t port_error(PortHandle) { return channel == ChannelPage ? js_port_error() : 0; }

uint32_t tick_count() { return channel == ChannelPage ? js_now_ms() : sim_line_tick(sim_line()); }

void sleep_ms(uint32_t ms) {
  if (channel == ChannelPage)
    js_sleep_ms(ms);
  else
    sim_line_advance(sim_line(), uint64_t{ms} * 1000);
}

void status_show(const char* text) { js_status(text); }
