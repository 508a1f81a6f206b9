// Raises a fatal error with error 193 pending, before any dialog exists, while a second thread
// reads the box and dismisses it. Prints what it saw; the process itself should end with 1.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "diag/fatal.h"

static const char message[] = "Could not create dialog";

static DWORD WINAPI watch(void*) {
  HWND box = nullptr;
  for (int waited = 0; waited < 10000 && !(box && IsWindowVisible(box)); waited += 10) {
    Sleep(10);
    box = FindWindowA("#32770", "Terminate Program");
  }
  if (!box) {
    puts("no box");
    fflush(stdout);
    ExitProcess(3);
  }
  char shown[FATAL_TEXT_SIZE] = "";
  GetDlgItemTextA(box, 0xFFFF, shown, sizeof shown);
  char expected[FATAL_TEXT_SIZE];
  fatal_text(expected, sizeof expected, message, ERROR_BAD_EXE_FORMAT);
  puts(strcmp(shown, expected) == 0 ? "text as built" : "text differs");
  puts(strstr(shown, "%1") ? "insert kept" : "insert missing");
  puts(GetWindow(box, GW_OWNER) ? "owned" : "unowned");
  fflush(stdout);
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  return 0;
}

int main() {
  CloseHandle(CreateThread(nullptr, 0, watch, nullptr, 0, nullptr));
  SetLastError(ERROR_BAD_EXE_FORMAT);
  fatal_error(message);
}
