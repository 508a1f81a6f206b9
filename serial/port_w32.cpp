#include "serial/port_w32.h"

#include <cstdio>
#include <cstring>

#include "diag/trace.h"

char port_table[PORT_TABLE_SIZE][PORT_PATH_SIZE];
int port_count;

static HANDLE win(PortHandle port) { return static_cast<HANDLE>(port); }

// The first read or write call that failed outright, and on which handle. One record serves:
// the tool talks to one port at a time, and a new open clears it, as handle values are reused.
static PortHandle failed_port = PORT_INVALID;
static uint32_t failed_error;

int discover_ports(HWND list) {
  for (int n = 1; n <= PORT_NUMBER_MAX; ++n) {
    char path[PORT_PATH_SIZE];
    snprintf(path, sizeof path, "\\\\.\\com%d", n);
    // A port held by another program fails here too, and is left out.
    FILE* probe = fopen(path, "r");
    if (!probe) continue;
    fclose(probe);
    SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path));
    memcpy(port_table[port_count++], path, sizeof path);
  }
  SendMessageA(list, CB_SETCURSEL, 0, 0);
  return port_count;
}

PortHandle port_open(const char* path) {
  failed_error = 0;
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

int port_configure(PortHandle port, uint32_t baud, uint32_t interval_ms) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(win(port), &dcb)) {
    report("Could not get Port State\n");
    return -1;
  }
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(win(port), &timeouts)) {
    report("Could not read comm timeouts\n");
    return -1;
  }
  port_line_settings(dcb, baud);
  port_read_timeouts(timeouts, interval_ms);
  SetCommState(win(port), &dcb);
  SetCommTimeouts(win(port), &timeouts);
  SetCommMask(win(port), 0);
  return 0;
}

static void note_failure(PortHandle port) {
  // No port at all (a tick while the fatal box of a failed open waits) is not a lost one.
  if (port == PORT_INVALID || (failed_error != 0 && failed_port == port)) return;
  failed_port = port;
  failed_error = GetLastError();
}

int32_t port_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  DWORD got = 0;
  if (!ReadFile(win(port), buffer, count, &got, nullptr)) {
    note_failure(port);
    return 0;
  }
  return static_cast<int32_t>(got);
}

int32_t port_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  DWORD put = 0;
  if (!WriteFile(win(port), buffer, count, &put, nullptr)) note_failure(port);
  return static_cast<int32_t>(put);
}

uint32_t port_error(PortHandle port) { return port == failed_port ? failed_error : 0; }

void port_purge(PortHandle port) {
  PurgeComm(win(port), PURGE_TXCLEAR | PURGE_RXCLEAR);
  FlushFileBuffers(win(port));
}
