#include <windows.h>

#include "diag/fatal.h"
#include "diag/status.h"
#include "diag/trace.h"
#include "serial/port_w32.h"
#include "ui/app.h"

// The job keeps a pointer to its port's path, so a typed one needs a home that outlives the press.
static char typed_port[PORT_PATH_SIZE];

const char* chosen_port(int selection, const char* typed) {
  if (selection >= 0 && selection < port_count) return port_table[selection];
  // Only a COM port name ever reaches CreateFileA: other text could name a file or a pipe.
  if (com_port_path(typed, typed_port, sizeof typed_port)) return typed_port;
  return nullptr;
}

bool begin_update(UpdateJob& job, const char* path) {
  job.baud = BAUD_RATE;
  job.port_path = path;
  trace(" . Opening serial port %s at %ld baud\n", job.port_path, static_cast<long>(job.baud));
  job.port = port_open(job.port_path);
  if (job.port == PORT_INVALID)
    fatal_error("Unable to open serial port. In use already, or not present");
  // Without its read time-outs a read could wait for ever and freeze the window.
  if (port_configure(job.port, job.baud, READ_INTERVAL_MS) != 0) {
    CloseHandle(job.port);
    job.port = PORT_INVALID;
    set_status("Could not set up the serial port");
    return false;
  }
  job.state = Start;
  set_status("Contacting Device...");
  return true;
}
