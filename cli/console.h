// The console of quarv-flash: whether live lines can be redrawn in place, and the stop signals.
#pragma once

// True when standard output is a terminal that takes cursor movements (switched on if need be).
bool console_live();

// Calls on_stop from the signal handler on SIGINT or SIGTERM (and Ctrl-Break on Windows).
void console_on_stop(void (*on_stop)(int));
