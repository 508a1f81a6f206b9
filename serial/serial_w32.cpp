// Win32 serial ports for the command-line tool. The dialog keeps its own (port_w32.cpp):
// its reads end on the read-interval time-out, these as soon as a whole reply is in.
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/frame.h"
#include "serial/channel.h"
#include "serial/line_w32.h"
#include "serial/serial.h"

namespace {

struct SerialPort {
  uint32_t kind;  // CHANNEL_LOCAL
  HANDLE handle;
  uint32_t error;  // GetLastError of the first read or write that failed outright
  DWORD wait_set;  // the first-byte wait the port's time-outs hold now
};

SerialPort* record(PortHandle port) { return static_cast<SerialPort*>(port); }

void fail(SerialPort* port) {
  if (port->error == 0) port->error = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
}

// COM5, com5 or \\.\COM5 (1 to 998, no leading zero): its number, else 0.
int com_number(const char* name) {
  char path[16];
  return com_port_path(name, path, sizeof path) ? atoi(path + 7) : 0;
}

// A read returns what has come as soon as anything has, or nothing after wait_ms.
bool wait_at_most(SerialPort* port, DWORD wait_ms) {
  if (port->wait_set == wait_ms) return true;
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, wait_ms, 0, 0};
  if (!SetCommTimeouts(port->handle, &timeouts)) return false;
  port->wait_set = wait_ms;
  return true;
}

bool set_line(HANDLE handle) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return false;
  port_line_settings(dcb, CBR_115200);
  return SetCommState(handle, &dcb) && SetCommMask(handle, 0);
}

}  // namespace

PortHandle local_open(const char* name, char* message, size_t size) {
  int number = com_number(name);
  if (number == 0) {
    snprintf(message, size, "%s is not a COM port name (COM1 to COM998)", name);
    return PORT_INVALID;
  }
  char path[32];
  snprintf(path, sizeof path, "\\\\.\\COM%d", number);
  // Shared with nobody, as in the dialog: no other program can interleave bytes.
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    char why[256];
    local_error_text(code, why, sizeof why);
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
      snprintf(message, size, "%s: no such port (%s)", name, why);
    else if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION)
      snprintf(message, size, "%s is busy (%s): is another program using it?", name, why);
    else
      snprintf(message, size, "%s cannot be opened (%s)", name, why);
    return PORT_INVALID;
  }
  auto* port = new SerialPort{CHANNEL_LOCAL, handle, 0, 0};
  if (!set_line(handle) || !wait_at_most(port, SERIAL_READ_TOTAL_MS)) {
    snprintf(message, size, "%s is not a serial port, or cannot be set to 115,200 baud 8E1", name);
    local_close(port);
    return PORT_INVALID;
  }
  PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
  return port;
}

void local_close(PortHandle port) {
  if (port == PORT_INVALID || !port) return;
  CloseHandle(record(port)->handle);
  delete record(port);
}

int32_t local_read(PortHandle port, uint8_t* buffer, uint32_t count) {
  SerialPort* p = record(port);
  const DWORD start = GetTickCount();
  DWORD last_byte = 0;
  uint32_t got = 0;
  while (got < count && p->error == 0) {
    DWORD now = GetTickCount();
    if (now - start >= SERIAL_READ_TOTAL_MS) break;
    DWORD left = SERIAL_READ_TOTAL_MS - (now - start);
    if (got > 0) {
      if (now - last_byte >= SERIAL_READ_INTERVAL_MS) break;
      DWORD quiet_left = SERIAL_READ_INTERVAL_MS - (now - last_byte);
      if (quiet_left < left) left = quiet_left;
    }
    DWORD n = 0;
    if (!wait_at_most(p, left) || !ReadFile(p->handle, buffer + got, count - got, &n, nullptr)) {
      fail(p);
      break;
    }
    if (n == 0) continue;
    got += n;
    last_byte = GetTickCount();
    if (bytes_are_reply(buffer, static_cast<int32_t>(got))) break;
  }
  return static_cast<int32_t>(got);
}

int32_t local_write(PortHandle port, const uint8_t* buffer, uint32_t count) {
  SerialPort* p = record(port);
  DWORD put = 0;
  if (p->error == 0 && !WriteFile(p->handle, buffer, count, &put, nullptr)) fail(p);
  return static_cast<int32_t>(put);
}

void local_purge(PortHandle port) {
  PurgeComm(record(port)->handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
  FlushFileBuffers(record(port)->handle);
}

uint32_t local_error(PortHandle port) { return record(port)->error; }

void local_error_text(uint32_t code, char* text, size_t size) {
  char words[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, words, sizeof words, nullptr);
  while (n > 0 && (words[n - 1] == '\n' || words[n - 1] == '\r' || words[n - 1] == '.'))
    words[--n] = '\0';
  if (n > 0)
    snprintf(text, size, "%s, error %lu", words, static_cast<unsigned long>(code));
  else
    snprintf(text, size, "error %lu", static_cast<unsigned long>(code));
}

bool local_port_key(const char* name, char* key, size_t size) {
  int number = com_number(name);
  if (number == 0) return false;
  snprintf(key, size, "COM%d", number);
  return true;
}
