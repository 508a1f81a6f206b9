// The one-line status field the user watches.
#pragma once
#include "diag/trace.h"

enum { STATUS_CAPACITY = 64 };

// Formats into the status buffer and shows it, replacing the previous text.
void set_status(const char* format, ...) QUARV_PRINTF(1, 2);

// Hands a finished status text to the platform's status field.
void status_show(const char* text);
