#include "diag/trace.h"

#include <cstdarg>

static FILE* trace_stream = nullptr;  // null means standard output

static FILE* trace_out() { return trace_stream ? trace_stream : stdout; }

void trace_to(FILE* stream) { trace_stream = stream; }

void trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(trace_out(), format, args);
  va_end(args);
}

void trace_flush() { fflush(trace_out()); }

void report(const char* message) { fputs(message, stderr); }
