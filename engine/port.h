// The byte channel to the device. The engine owns this seam and needs only read, write and
// purge; each front end binds it at link time (a serial port, a network serial server, the web
// page's port, the simulated line of the tests).
#pragma once
#include <cstdint>

typedef void* PortHandle;  // a Win32 HANDLE on the shipped exe

// Same bit pattern as INVALID_HANDLE_VALUE.
#define PORT_INVALID (reinterpret_cast<PortHandle>(static_cast<intptr_t>(-1)))

// Reads up to count bytes; returns how many came (0 on silence or failure).
int32_t port_read(PortHandle port, uint8_t* buffer, uint32_t count);
// Writes count bytes; returns how many were handed over.
int32_t port_write(PortHandle port, const uint8_t* buffer, uint32_t count);
// Discards both queues, then flushes.
void port_purge(PortHandle port);
// The system's error code from the first read or write call on this port that failed outright
// (not a time-out: the device is gone, say), 0 while none has. The engine never asks: a failed
// read is silence to it; the front ends ask, to end an update whose port was lost.
uint32_t port_error(PortHandle port);
