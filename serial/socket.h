// TCP client sockets for the network channel: POSIX sockets (socket_posix.cpp) or Winsock
// (socket_w32.cpp). Connected sockets are non-blocking, with Nagle's delay off: a frame goes out
// as soon as it is written, not with the next one.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

typedef intptr_t SocketId;
const SocketId SOCKET_NONE = -1;

enum : uint32_t {
  SOCKET_SEND_MS = 1000,  // a server that takes nothing for this long is as good as gone
};

// Connects to host (a name or an address, IPv6 without brackets) at port, trying each address
// the name has, within timeout_ms in all. SOCKET_NONE on failure, with the system's reason
// (refused, timed out, unknown host) in why.
SocketId socket_connect(const char* host, uint16_t port, uint32_t timeout_ms, char* why,
                        size_t size);
void socket_close(SocketId socket);
// Sends all count bytes; 0, or the system's error code for the first failure.
uint32_t socket_send(SocketId socket, const uint8_t* bytes, uint32_t count);
// Waits up to wait_ms for bytes and takes what has come, up to size: their number, 0 when none
// came, SOCKET_CLOSED when the server closed the connection, SOCKET_FAILED with error set.
enum : int32_t { SOCKET_CLOSED = -1, SOCKET_FAILED = -2 };
int32_t socket_receive(SocketId socket, uint8_t* buffer, uint32_t size, uint32_t wait_ms,
                       uint32_t& error);
// A flag the waits of this file look at, every SOCKET_STOP_SLICE_MS at the most: once it is set,
// a connect or a receive gives up as if its time were out, so that Ctrl-C ends a run while a
// server is still being connected to or set up (up to 10 s) rather than after it.
enum : uint32_t { SOCKET_STOP_SLICE_MS = 100 };
void socket_stop_on(const std::atomic<bool>* flag);
bool socket_stopped();
// How long the next slice of a wait begun at start (tick_count) may last: 0 once wait_ms is
// spent or the flag is set (socket_stop.cpp, for both socket layers).
uint32_t socket_wait_slice(uint32_t start, uint32_t wait_ms);
// The first address of host, as text, for telling two names of one server apart; the name
// itself when it does not resolve.
void socket_address_key(const char* host, char* key, size_t size);
