/* Stand-in firmware: a Cortex-M vector table and a reset handler that counts forever.
   It only has to look like a real image to the updater and to the simulated device. */
#include <stdint.h>

extern uint32_t stack_top; /* from standin.ld: top of RAM */

static volatile uint32_t heartbeat;

void reset_handler(void) {
  for (;;) ++heartbeat;
}

void default_handler(void) {
  for (;;) {
  }
}

/* 16 core vectors and 32 interrupt vectors, as a small Cortex-M3 part has. */
__attribute__((section(".vectors"), used)) void (*const vectors[48])(void) = {
    (void (*)(void))(&stack_top), reset_handler, default_handler, default_handler,
    default_handler, default_handler, default_handler, 0, 0, 0, 0, default_handler,
    default_handler, 0, default_handler, default_handler,
    [16 ... 47] = default_handler,
};
