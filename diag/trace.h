// Developer trace on standard output and the configuration messages on standard error.
#pragma once
#include <cstdio>

#if defined(__MINGW32__)
#define QUARV_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define QUARV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

// printf-style; no prefix and no implicit line end.
void trace(const char* format, ...) QUARV_PRINTF(1, 2);
void trace_flush();
void report(const char* message);

// Where the calling thread's trace goes: standard output unless a test points it elsewhere.
void trace_to(FILE* stream);

// Or, for the calling thread, each formatted piece (cut to TRACE_PIECE_SIZE - 1 characters)
// handed to sink as it is made; a front end running several jobs keeps their traces apart so.
enum { TRACE_PIECE_SIZE = 512 };
typedef void (*TraceSink)(void* context, const char* piece);
void trace_to_sink(TraceSink sink, void* context);
