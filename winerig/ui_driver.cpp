// Drives the running quarv-update dialog from another process, as a technician would,
// and reads back what the dialog shows. One subcommand per run; exit 0 on success.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int ID_PORT_LIST = 3;
const int ID_START = 4;
const int ID_STATUS = 5;

const char USAGE[] =
    "usage: ui_driver COMMAND [ARGS]\n"
    "  wait-window MS | wait-status TEXT MS | wait-box MS   wait (wait-box prints the box's text)\n"
    "  dump | ports | status | rect     the dialog as JSON, the port items, the status, the frame\n"
    "  select I | type TEXT | press | box-ok | close        act on the dialog\n"
    "  press-key                        focus the button, press Enter through the message loop\n"
    "  set-status TEXT                  overwrite the status field (to see whether it is "
    "rewritten)\n"
    "  error-text N                     the system's description of error N\n"
    "  time-idle EXE                    launch EXE, print ms until it shows \" - Idle - \"\n";

HWND main_window() { return FindWindowA("ZQF", nullptr); }

// Sent, not GetWindowText: that does not ask a window of another process for its text.
std::string text_of(HWND window) {
  std::vector<char> text(static_cast<size_t>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0)) + 2);
  SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  return text.data();
}

std::string status_of(HWND window) { return text_of(GetDlgItem(window, ID_STATUS)); }

// Every byte outside printable ASCII comes out as \u00XX, so the JSON reads back byte for byte.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    char escaped[8] = {static_cast<char>(c), '\0'};
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\')
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
    out += escaped;
  }
  return out + "\"";
}

BOOL CALLBACK add_control(HWND control, LPARAM context) {
  auto* out = reinterpret_cast<std::string*>(context);
  char class_name[64] = "";
  GetClassNameA(control, class_name, sizeof class_name);
  *out += std::string(out->back() == '[' ? "" : ", ") +
          "{\"id\": " + std::to_string(GetDlgCtrlID(control)) +
          ", \"class\": " + json_string(class_name) +
          ", \"style\": " + std::to_string(static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE))) +
          ", \"text\": " + json_string(text_of(control)) + "}";
  return TRUE;
}

// Polls until found returns a window, or the time runs out.
template <typename Find>
HWND wait_for(Find found, DWORD timeout_ms, DWORD poll_ms = 10) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND window = found();
    if (window || GetTickCount() - start > timeout_ms) return window;
    Sleep(poll_ms);
  }
}

HWND visible_box() {
  HWND box = FindWindowA("#32770", "Terminate Program");
  return box && IsWindowVisible(box) ? box : nullptr;
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
  HWND idle = wait_for(
      [] {
        HWND window = main_window();
        return window && status_of(window) == " - Idle - " ? window : nullptr;
      },
      20000, 1);
  QueryPerformanceCounter(&end);
  if (HWND window = main_window()) PostMessageA(window, WM_CLOSE, 0, 0);
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
  const std::string command = argv[1];
  const std::string arg = argc > 2 ? argv[2] : "";
  DWORD timeout = std::strtoul(argc > 3 ? argv[3] : arg.c_str(), nullptr, 10);

  if (command == "error-text") {
    char text[1000] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   std::strtoul(arg.c_str(), nullptr, 10), 0, text, sizeof text, nullptr);
    std::fputs(text, stdout);
    return 0;
  }
  if (command == "time-idle") return time_idle(arg.c_str());
  if (command == "wait-box" || command == "box-ok") {
    HWND box = wait_for(visible_box, command == "wait-box" ? timeout : 0);
    if (!box) return fail("no \"Terminate Program\" box");
    if (command == "box-ok")
      PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    else
      std::fputs(text_of(GetDlgItem(box, 0xFFFF)).c_str(), stdout);
    return 0;
  }

  // The window shows before start-up has listed the ports; its first status text marks the end.
  HWND window = wait_for(
      [] {
        HWND found = main_window();
        return found && !status_of(found).empty() ? found : nullptr;
      },
      command == "wait-window" ? timeout : 0);
  if (!window) return fail("no main window");
  HWND list = GetDlgItem(window, ID_PORT_LIST);
  if (command == "wait-window") return 0;
  if (command == "dump") {
    std::string out = "{\"caption\": " + json_string(text_of(window)) + ", \"controls\": [";
    EnumChildWindows(window, add_control, reinterpret_cast<LPARAM>(&out));
    std::printf("%s]}\n", out.c_str());
  } else if (command == "ports") {
    auto count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) std::printf("%s\n", port_item(list, i).c_str());
  } else if (command == "select") {
    int index = std::atoi(arg.c_str());
    if (SendMessageA(list, CB_SETCURSEL, index, 0) != index) return fail("no such item");
  } else if (command == "type") {
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    SendMessageA(list, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(arg.c_str()));
  } else if (command == "press") {
    // Posted, not sent: the press may end in a modal box that would hold a sent message.
    PostMessageA(GetDlgItem(window, ID_START), BM_CLICK, 0, 0);
  } else if (command == "press-key") {
    // The focus moves as a click would move it; the key then reaches the button only as a
    // key, so the press comes through when the tool's loop gives keys to the dialog manager.
    HWND button = GetDlgItem(window, ID_START);
    DWORD tool_thread = GetWindowThreadProcessId(window, nullptr);
    AttachThreadInput(GetCurrentThreadId(), tool_thread, TRUE);
    SetFocus(button);
    AttachThreadInput(GetCurrentThreadId(), tool_thread, FALSE);
    GUITHREADINFO focus = {};
    focus.cbSize = sizeof focus;
    if (!GetGUIThreadInfo(tool_thread, &focus) || focus.hwndFocus != button)
      return fail("cannot focus the button");
    PostMessageA(button, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageA(button, WM_KEYUP, VK_RETURN, 0xC01C0001);
  } else if (command == "set-status") {
    SendMessageA(GetDlgItem(window, ID_STATUS), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(arg.c_str()));
  } else if (command == "status") {
    std::printf("%s\n", status_of(window).c_str());
  } else if (command == "wait-status") {
    auto reads = [&] { return status_of(window) == arg ? window : nullptr; };
    if (!wait_for(reads, timeout, 20)) {
      std::printf("%s\n", status_of(window).c_str());
      return 1;
    }
  } else if (command == "rect") {
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
  } else if (command == "close") {
    PostMessageA(window, WM_CLOSE, 0, 0);
  } else {
    return fail(USAGE);
  }
  return 0;
}
