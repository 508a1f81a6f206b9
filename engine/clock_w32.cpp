#include <windows.h>

#include "engine/clock.h"

uint32_t tick_count() { return GetTickCount(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }
