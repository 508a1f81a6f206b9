#include "diag/trace.h"

#include <cstdarg>

#include "diag/diag_thread.h"

static FILE* trace_out() {
  FILE* stream = diag_thread().trace_stream;
  return stream ? stream : stdout;
}

void trace_to(FILE* stream) {
  diag_thread().trace_stream = stream;
  diag_thread().trace_sink = nullptr;
}

void trace_to_sink(TraceSink sink, void* context) {
  diag_thread().trace_sink = sink;
  diag_thread().trace_context = context;
}

void trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DiagThread& mine = diag_thread();
  if (mine.trace_sink) {
    char text[TRACE_PIECE_SIZE];
    vsnprintf(text, sizeof text, format, args);
    mine.trace_sink(mine.trace_context, text);
  } else {
    vfprintf(trace_out(), format, args);
  }
  va_end(args);
}

void trace_flush() {
  if (!diag_thread().trace_sink) fflush(trace_out());
}

void report(const char* message) { fputs(message, stderr); }
