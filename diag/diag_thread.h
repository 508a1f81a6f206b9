// The trace's destination and the status text being made, for the thread that runs a job.
// A program with one such thread links diag_thread_single.cpp (the default, which costs the
// shipped exe no thread-local runtime); quarv-flash, one job per thread, links
// diag_thread_local.cpp in its place.
#pragma once
#include "diag/status.h"
#include "diag/trace.h"

struct DiagThread {
  FILE* trace_stream;  // null means standard output
  TraceSink trace_sink;
  void* trace_context;
  char status[STATUS_CAPACITY];
};

DiagThread& diag_thread();
