// The least a dialog program can do: the yardstick for how long quarv-update takes to come up.
#include <windows.h>

static LRESULT CALLBACK bare_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = bare_proc;
  window_class.cbWndExtra = DLGWINDOWEXTRA;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = "ZQF";
  if (!RegisterClassA(&window_class)) return 1;
  HWND dialog = CreateDialogParamA(instance, "BARE", nullptr, nullptr, 0);
  if (!dialog) return 1;
  ShowWindow(dialog, show);
  SetDlgItemTextA(dialog, 5, " - Idle - ");
  MSG message = {};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageA(dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return static_cast<int>(message.wParam);
}
