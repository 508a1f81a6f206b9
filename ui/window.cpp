#include <windows.h>

#include "diag/status.h"
#include "diag/trace.h"
#include "serial/port_w32.h"
#include "ui/app.h"

static void start_pressed(HWND window) {
  auto selection =
      static_cast<int>(SendMessageA(GetDlgItem(window, ID_PORT_LIST), CB_GETCURSEL, 0, 0));
  char typed[PORT_PATH_SIZE] = "";
  if (selection < 0) GetDlgItemTextA(window, ID_PORT_LIST, typed, sizeof typed);
  const char* path = chosen_port(selection, typed);
  if (!path) {
    set_status("Choose the Lumvi's COM port first");
    return;
  }
  if (begin_update(app_job, path)) {
    SetTimer(window, ID_TIMER, TICK_MS, nullptr);
  } else {
    KillTimer(window, ID_TIMER);  // an earlier update's ticks would only poke a closed port
  }
}

// A pulled adapter fails every call on its handle for ever, and the re-plugged one needs a
// fresh handle: end the update here and leave the port to the next press.
static void end_on_lost_port(HWND window, uint32_t error) {
  KillTimer(window, ID_TIMER);
  trace("PORT LOST, error %lu\n", static_cast<unsigned long>(error));
  trace_flush();
  CloseHandle(app_job.port);
  app_job.port = PORT_INVALID;
  set_status("Port lost: reconnect, press again");
}

static void tick(HWND window) {
  // A step may block for a few hundred ms; the long period keeps ticks from queueing meanwhile.
  SetTimer(window, ID_TIMER, TICK_GUARD_MS, nullptr);
  job_step(app_job);
  SetTimer(window, ID_TIMER, TICK_MS, nullptr);
  if (uint32_t error = port_error(app_job.port)) {
    end_on_lost_port(window, error);
  } else if (app_job.state == Done) {
    KillTimer(window, ID_TIMER);
    Beep(2000, 100);
    set_status("Programming Completed");
    CloseHandle(app_job.port);
  }
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) != ID_START) break;
      start_pressed(window);
      return 0;
    case WM_TIMER:
      if (LOWORD(wparam) != ID_TIMER) break;
      tick(window);
      return 0;
    default: break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}
