// The seam between the page's JavaScript and the engine built for WebAssembly.
#pragma once
#include <cstdint>

#define WEB_EXPORT(name) extern "C" __attribute__((export_name(name)))
#define WEB_IMPORT(name) extern "C" __attribute__((import_module("env"), import_name(name)))

// Where the job's bytes and time go: the page's serial port and clock, or the simulated line of
// sim/ inside the module on its virtual clock (the demo device, and the unit tests in Node).
enum WebChannel : uint32_t { ChannelPage = 0, ChannelSimLine = 1 };

WebChannel web_channel();
void web_channel_set(WebChannel channel);
