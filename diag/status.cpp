#include "diag/status.h"

#include <cstdarg>

// Per thread: each job of a front end that runs several at once formats into its own.
static thread_local char status_buffer[STATUS_CAPACITY];

void set_status(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(status_buffer, sizeof status_buffer, format, args);
  va_end(args);
  status_show(status_buffer);
}
