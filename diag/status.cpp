#include "diag/status.h"

#include <cstdarg>

static char status_buffer[STATUS_CAPACITY];

void set_status(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(status_buffer, sizeof status_buffer, format, args);
  va_end(args);
  status_show(status_buffer);
}
