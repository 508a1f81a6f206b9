// Runs in the private Wine prefix that pty_fixture.py prepares: com3 echoes what it receives,
// com12 is silent, com999 is linked but out of range, com1 cannot be opened.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "serial/port_w32.h"

namespace {

TEST(DiscoverPorts, ListsOpenablePortsInOrderUpTo998) {
  HWND list = CreateWindowA("COMBOBOX", "", CBS_DROPDOWN | CBS_HASSTRINGS, 0, 0, 100, 100, nullptr,
                            nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(list, nullptr);
  port_count = 0;
  EXPECT_EQ(discover_ports(list), 2);
  std::vector<std::string> table(port_table, port_table + port_count), items;
  EXPECT_EQ(table, (std::vector<std::string>{"\\\\.\\com3", "\\\\.\\com12"}));
  for (LRESULT i = 0; i < SendMessageA(list, CB_GETCOUNT, 0, 0); ++i) {
    char item[PORT_PATH_SIZE] = "";
    SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
    items.push_back(item);
  }
  EXPECT_EQ(items, table);
  EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
  DestroyWindow(list);
}

struct Com3 : ::testing::Test {
  PortHandle port = port_open("\\\\.\\com3");
  void SetUp() override { ASSERT_NE(port, PORT_INVALID) << "error " << GetLastError(); }
  void TearDown() override {
    if (port != PORT_INVALID) CloseHandle(port);
  }
};

// A pseudo-terminal keeps no parity, always has 8 data bits and no modem lines, and Wine reads
// only some flags back (RTS handshaking as CTS flow): baud, stop bits and flow control can be.
TEST_F(Com3, ConfigureSetsLineFormatAndTimeouts) {
  // Start from settings unlike ours, so that each field read back was really set.
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 9600;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = dcb.fOutX = dcb.fInX = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));

  ASSERT_EQ(port_configure(port, 115200, 20), 0);
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ((std::vector<DWORD>{dcb.BaudRate, dcb.StopBits, dcb.fOutxCtsFlow, dcb.fOutX, dcb.fInX}),
            (std::vector<DWORD>{115200, ONESTOPBIT, 0, 0, 0}));
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(
      (std::vector<DWORD>{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                          timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                          timeouts.WriteTotalTimeoutConstant}),
      (std::vector<DWORD>{20, 0, 100, 0, 0}));

  // Nothing was sent, so nothing comes back: the engine relies on such a read returning, or the
  // window would freeze.
  uint8_t buffer[1040];
  DWORD started = GetTickCount();
  EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
  DWORD took = GetTickCount() - started;
  EXPECT_GE(took, 80u);
  EXPECT_LE(took, 400u);
}

TEST_F(Com3, PurgeDiscardsBytesAlreadyReceived) {
  ASSERT_EQ(port_configure(port, 115200, 20), 0);
  const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(port_write(port, hello, sizeof hello), 5);
  // The echo is in the receive queue (2 s at most), so its absence after the purge means something.
  COMSTAT status = {};
  DWORD errors = 0;
  for (int waited = 0; waited < 2000 && status.cbInQue < 5; waited += 10) {
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    if (status.cbInQue < 5) Sleep(10);
  }
  ASSERT_EQ(status.cbInQue, 5u);
  port_purge(port);
  uint8_t buffer[1040];
  EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
}

}  // namespace
