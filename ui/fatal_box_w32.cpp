#include <windows.h>

#include <cstdlib>

#include "diag/fatal.h"
#include "ui/app.h"

void fatal_error(const char* message) {
  DWORD code = GetLastError();  // first, before anything else can overwrite it
  char text[FATAL_TEXT_SIZE];
  fatal_text(text, sizeof text, message, code);
  HWND owner = IsWindow(main_dialog) ? main_dialog : nullptr;
  MessageBoxA(owner, text, "Terminate Program", MB_ICONEXCLAMATION | MB_OK);
  Beep(200, 1000);
  exit(1);
}
