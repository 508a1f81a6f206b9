// The console of quarv-flash: its standard streams, whether live lines can be redrawn in
// place and how wide they may be, and the stop signals.
#pragma once
#include <cstdio>

// First thing in main: descriptors 0, 1 and 2 are made valid (on the null device where closed),
// so that no port or log opened later takes one of them and receives text meant for a
// terminal; and a closed pipe on an output, or a file-size limit on the log, makes writes fail
// instead of ending the process.
void console_prepare();

// The program itself, called by the platform's entry point with its arguments in UTF-8 (on
// Windows converted from the wide command line, so that any file name Windows allows arrives).
int flash_main(int argc, char** argv);

// fopen for a UTF-8 name.
FILE* console_fopen(const char* path, const char* mode);

// Cuts a file back to size bytes: a line of the log only partly written when the disk filled.
void console_truncate(FILE* file, long size);

// True when standard output is a terminal that takes cursor movements (switched on if need be).
bool console_live();

// The terminal's width in columns now (it may be resized at any time), 0 when unknown.
int console_width();

// Calls on_stop from the signal handler on SIGINT, SIGTERM or SIGHUP (a closed session), and
// Ctrl-Break on Windows.
void console_on_stop(void (*on_stop)(int));
