// Drives the running quarv-update dialog from another process, as a technician would,
// and reads back what the dialog shows. One subcommand per run; exit 0 on success.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int ID_PORT_LIST = 3;
const int ID_START = 4;
const int ID_STATUS = 5;
const char BOX_CAPTION[] = "Terminate Program";

const char USAGE[] =
    "usage: ui_driver COMMAND [ARGS]\n"
    "  wait-window MS          wait for the main window\n"
    "  dump                    caption, every control's id, class, style and text (JSON)\n"
    "  ports                   the port list's items, one a line\n"
    "  select I                select item I of the port list\n"
    "  type TEXT               clear the selection and type TEXT into the list's edit field\n"
    "  press                   press the start button\n"
    "  status                  the status field's text\n"
    "  wait-status TEXT MS     wait until the status field reads TEXT exactly\n"
    "  wait-box MS             wait for the \"Terminate Program\" box; print its text\n"
    "  box-ok                  press the box's OK\n"
    "  close                   close the main window\n"
    "  rect                    the main window's left, top, right and bottom, caption included\n"
    "  error-text N            the system's description of error N, as the tool fetches it\n"
    "  time-idle EXE           launch EXE, print ms until its status reads \" - Idle - \",\n"
    "                          then close it\n";

HWND main_window() { return FindWindowA("ZQF", nullptr); }

std::string text_of(HWND window) {
  int length = GetWindowTextLengthA(window);
  std::vector<char> text(static_cast<size_t>(length) + 2, '\0');
  GetWindowTextA(window, text.data(), length + 1);
  return text.data();
}

// Bytes outside printable ASCII come out as \u00XX, so the JSON reads back byte for byte.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

BOOL CALLBACK add_control(HWND control, LPARAM context) {
  auto* out = reinterpret_cast<std::string*>(context);
  char class_name[64] = "";
  GetClassNameA(control, class_name, sizeof class_name);
  char fields[160];
  std::snprintf(fields, sizeof fields, "%s{\"id\": %d, \"class\": %s, \"style\": %lu, \"text\": ",
                out->back() == '[' ? "" : ", ", GetDlgCtrlID(control),
                json_string(class_name).c_str(),
                static_cast<unsigned long>(GetWindowLongA(control, GWL_STYLE)));
  *out += fields + json_string(text_of(control)) + "}";
  return TRUE;
}

// Polls until found returns a window, or the time runs out.
template <typename Find>
HWND wait_for(Find found, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND window = found();
    if (window) return window;
    if (GetTickCount() - start > timeout_ms) return nullptr;
    Sleep(10);
  }
}

HWND visible_box() {
  HWND box = FindWindowA("#32770", BOX_CAPTION);
  return box && IsWindowVisible(box) ? box : nullptr;
}

std::string status_of(HWND window) {
  char text[256] = "";
  GetDlgItemTextA(window, ID_STATUS, text, sizeof text);
  return text;
}

// Cross-process CB_GETLBTEXT through the ANSI call comes back as UTF-16 under Wine.
std::string port_item(HWND list, int index) {
  LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, index, 0);
  if (length == CB_ERR) return "";
  std::vector<wchar_t> wide(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(wide.data()));
  std::string text;
  for (size_t i = 0; i < static_cast<size_t>(length); ++i)
    text += static_cast<char>(wide[i] < 0x80 ? wide[i] : '?');
  return text;
}

int time_idle(const char* exe) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceFrequency(&frequency);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::string command = std::string("\"") + exe + "\"";
  QueryPerformanceCounter(&start);
  if (!CreateProcessA(exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "cannot start %s: error %lu\n", exe, GetLastError());
    return 1;
  }
  HWND window = nullptr;
  bool idle = false;
  for (DWORD waited = 0; !idle && waited < 20000; ++waited) {
    if (!window) window = main_window();
    idle = window && status_of(window) == " - Idle - ";
    if (!idle) Sleep(1);
  }
  QueryPerformanceCounter(&end);
  if (window) PostMessageA(window, WM_CLOSE, 0, 0);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!idle) return 1;
  std::printf("%.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
                            static_cast<double>(frequency.QuadPart));
  return 0;
}

int fail(const char* message) {
  std::fprintf(stderr, "ui_driver: %s\n", message);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Texts go out byte for byte: no CR before each LF.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return fail(USAGE);
  std::string command = argv[1];
  const char* arg = argc > 2 ? argv[2] : "";
  DWORD timeout = static_cast<DWORD>(std::strtoul(argc > 3 ? argv[3] : arg, nullptr, 10));

  if (command == "error-text") {
    char text[1000] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, std::strtoul(arg, nullptr, 10), 0, text,
                   sizeof text, nullptr);
    std::fputs(text, stdout);
    return 0;
  }
  if (command == "time-idle") return time_idle(arg);
  if (command == "wait-box" || command == "box-ok") {
    HWND box = wait_for(visible_box, command == "wait-box" ? timeout : 0);
    if (!box) return fail("no \"Terminate Program\" box");
    if (command == "box-ok") {
      PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
      return 0;
    }
    char text[1024] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    std::fputs(text, stdout);
    return 0;
  }

  HWND window = wait_for(main_window, command == "wait-window" ? timeout : 0);
  if (!window) return fail("no main window");
  HWND list = GetDlgItem(window, ID_PORT_LIST);
  if (command == "wait-window") return 0;
  if (command == "dump") {
    std::string out = "{\"caption\": " + json_string(text_of(window)) + ", \"controls\": [";
    EnumChildWindows(window, add_control, reinterpret_cast<LPARAM>(&out));
    std::printf("%s]}\n", out.c_str());
    return 0;
  }
  if (command == "ports") {
    auto count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) std::printf("%s\n", port_item(list, i).c_str());
    return 0;
  }
  if (command == "select") {
    int index = std::atoi(arg);
    return SendMessageA(list, CB_SETCURSEL, index, 0) == index ? 0 : fail("no such item");
  }
  if (command == "type") {
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    SendMessageA(list, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(arg));
    return 0;
  }
  if (command == "press") {
    // Posted, not sent: the press may end in a modal box that would hold a sent message.
    PostMessageA(GetDlgItem(window, ID_START), BM_CLICK, 0, 0);
    return 0;
  }
  if (command == "status") {
    std::printf("%s\n", status_of(window).c_str());
    return 0;
  }
  if (command == "wait-status") {
    DWORD start = GetTickCount();
    std::string now;
    while ((now = status_of(window)) != arg) {
      if (GetTickCount() - start > timeout) {
        std::printf("%s\n", now.c_str());
        return 1;
      }
      Sleep(20);
    }
    return 0;
  }
  if (command == "rect") {
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return 0;
  }
  if (command == "close") {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 0;
  }
  return fail(USAGE);
}
