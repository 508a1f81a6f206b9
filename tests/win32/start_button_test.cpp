#include <gtest/gtest.h>
#include <windows.h>

#include "diag/status_record.h"
#include "serial/port_w32.h"
#include "ui/app.h"

namespace {

// The window procedure behind a bare window with the port list as its only control.
struct StartButton : ::testing::Test {
  HWND window = nullptr;
  HWND list = nullptr;
  void SetUp() override {
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "ZQFTEST";
    RegisterClassA(&window_class);  // fails harmlessly when an earlier test registered it
    window = CreateWindowA("ZQFTEST", "", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200, nullptr, nullptr,
                           window_class.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    list = CreateWindowA("COMBOBOX", "", WS_CHILD | CBS_DROPDOWN | CBS_HASSTRINGS, 0, 0, 100, 100,
                         window, reinterpret_cast<HMENU>(ID_PORT_LIST), window_class.hInstance,
                         nullptr);
    ASSERT_NE(list, nullptr);
    port_count = 0;
    app_job = UpdateJob{};
    app_job.port = PORT_INVALID;
    status_history_clear();
  }
  void TearDown() override { DestroyWindow(window); }
  void press() { SendMessageA(window, WM_COMMAND, MAKEWPARAM(ID_START, BN_CLICKED), 0); }
};

// No port listed, or text typed that names no COM port: nothing is opened, the user is told.
TEST_F(StartButton, WithoutAPortAsksForOneAndOpensNothing) {
  for (const char* typed : {"", "hello", "C:\\autoexec.bat", "COM0"}) {
    SCOPED_TRACE(typed);
    SetWindowTextA(list, typed);
    ASSERT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), CB_ERR);
    press();
    ASSERT_FALSE(status_history().empty());
    EXPECT_EQ(status_history().back(), "Choose the Lumvi's COM port first");
    EXPECT_EQ(app_job.port, PORT_INVALID);
    EXPECT_EQ(app_job.port_path, nullptr);
  }
}

}  // namespace
