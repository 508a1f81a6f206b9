// Millisecond clock and sleep: GetTickCount/Sleep on Windows, a virtual clock in tests.
#pragma once
#include <cstdint>

// Milliseconds since system start; wraps at 2^32, so compare with unsigned differences.
uint32_t tick_count();
void sleep_ms(uint32_t ms);
