// The process-wide records of the Windows program: its instance, its main dialog, the job.
#pragma once
#include <windows.h>

#include "engine/update_job.h"

enum : int {
  ID_PORT_LIST = 3,
  ID_START = 4,
  ID_STATUS = 5,
  ID_TIMER = 6,
};

enum : uint32_t {
  BAUD_RATE = 115200,
  READ_INTERVAL_MS = 20,
  TICK_MS = 10,
  TICK_GUARD_MS = 10000,  // the timer's period while a step runs, so ticks cannot pile up
};

extern HINSTANCE app_instance;
extern HWND main_dialog;  // null until the dialog exists
extern UpdateJob app_job;

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The port the start button should use: the selected entry of the port table, else the
// typed text when it names a COM port (normalised into a process-wide buffer), else null.
const char* chosen_port(int selection, const char* typed);

// Opens and configures the port for a new update; fatal when the port cannot be opened.
// False, with the port closed and the status saying so, when it cannot be set up.
bool begin_update(UpdateJob& job, const char* path);
