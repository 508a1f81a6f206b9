// Runs in the private Wine prefix of pty_ports.py: com1, com12, com998 and com999 are
// pseudo-terminals, silent but for "stale" waiting on com998.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "serial/port_w32.h"

namespace {

// Both ends of the scan: com1 and com998 are listed, com999 is not.
TEST(DiscoverPorts, ListsOpenablePortsInOrderFromCom1ToCom998) {
  HWND list = CreateWindowA("COMBOBOX", "", CBS_DROPDOWN | CBS_HASSTRINGS, 0, 0, 100, 100, nullptr,
                            nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(discover_ports(list), 3);
  EXPECT_EQ(std::vector<std::string>(port_table, port_table + port_count),
            (std::vector<std::string>{"\\\\.\\com1", "\\\\.\\com12", "\\\\.\\com998"}));
  EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
}

// The settings reach the port (a new pseudo-terminal runs at 38,400 baud), and a read of a silent
// line ends after its time-out: the engine relies on that, or the window would freeze. The
// time-outs set first would end it at once.
TEST(PortConfigure, AppliesTheSettingsSoASilentReadEndsAfterItsTimeOut) {
  PortHandle port = port_open("\\\\.\\com12");
  ASSERT_NE(port, PORT_INVALID) << GetLastError();
  COMMTIMEOUTS at_once = {MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &at_once));

  ASSERT_EQ(port_configure(port, 115200, 20), 0);
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  uint8_t buffer[1040];
  DWORD started = GetTickCount();
  EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
  EXPECT_GE(GetTickCount() - started, 80u);
  CloseHandle(port);
}

// What came before the link was up must not be taken for a reply to what follows.
TEST(PortPurge, DiscardsBytesAlreadyReceived) {
  PortHandle port = port_open("\\\\.\\com998");
  ASSERT_NE(port, PORT_INVALID) << GetLastError();
  ASSERT_EQ(port_configure(port, 115200, 20), 0);
  COMSTAT status = {};
  ASSERT_TRUE(ClearCommError(port, nullptr, &status));
  ASSERT_EQ(status.cbInQue, 5u);
  port_purge(port);
  uint8_t buffer[16];
  EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
  CloseHandle(port);
}

}  // namespace
