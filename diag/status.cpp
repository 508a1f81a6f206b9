#include "diag/status.h"

#include <cstdarg>

#include "diag/diag_thread.h"

void set_status(const char* format, ...) {
  char* text = diag_thread().status;
  va_list args;
  va_start(args, format);
  vsnprintf(text, STATUS_CAPACITY, format, args);
  va_end(args);
  status_show(text);
}
