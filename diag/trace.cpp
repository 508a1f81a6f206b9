#include "diag/trace.h"

#include <cstdarg>

// Per thread, so that each of several jobs running at once has its own trace.
static thread_local FILE* trace_stream = nullptr;  // null means standard output
static thread_local TraceSink trace_sink = nullptr;
static thread_local void* trace_sink_context = nullptr;

static FILE* trace_out() { return trace_stream ? trace_stream : stdout; }

void trace_to(FILE* stream) {
  trace_stream = stream;
  trace_sink = nullptr;
}

void trace_to_sink(TraceSink sink, void* context) {
  trace_sink = sink;
  trace_sink_context = context;
}

void trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (trace_sink) {
    char text[TRACE_PIECE_SIZE];
    vsnprintf(text, sizeof text, format, args);
    trace_sink(trace_sink_context, text);
  } else {
    vfprintf(trace_out(), format, args);
  }
  va_end(args);
}

void trace_flush() {
  if (!trace_sink) fflush(trace_out());
}

void report(const char* message) { fputs(message, stderr); }
