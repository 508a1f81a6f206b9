#include <windows.h>

#include <cstdlib>

#include "diag/fatal.h"
#include "diag/status.h"
#include "diag/trace.h"
#include "engine/frame.h"
#include "engine/image.h"
#include "serial/port_w32.h"
#include "ui/app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA window_class = {};
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = main_window_proc;
  window_class.cbWndExtra = DLGWINDOWEXTRA;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = "ZQF";
  app_instance = instance;
  if (!RegisterClassA(&window_class)) fatal_error("Unabled to register window class");

  main_dialog = CreateDialogParamA(instance, "ZQF", nullptr, nullptr, 0);
  if (!main_dialog) fatal_error("Could not create dialog");
  ShowWindow(main_dialog, show);
  HWND list = GetDlgItem(main_dialog, ID_PORT_LIST);

  trace("Running on windows version: %x\n", 0xA00);
  discover_ports(list);
  set_status(" - Idle - ");

  app_job.receive_capacity = FRAME_CAPACITY;
  app_job.frame = static_cast<uint8_t*>(calloc(FRAME_CAPACITY, 1));
  if (!app_job.frame) fatal_error("Not enough memory for the frame buffer");
  app_job.target_address = TARGET_ADDRESS;
  app_job.port = PORT_INVALID;
  load_image(app_job);

  MSG message = {};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (!IsWindow(main_dialog) || !IsDialogMessageA(main_dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return static_cast<int>(message.wParam);
}
