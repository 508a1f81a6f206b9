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
  std::vector<std::string> table(port_table, port_table + port_count);
  EXPECT_EQ(table, (std::vector<std::string>{"\\\\.\\com3", "\\\\.\\com12"}));
  std::vector<std::string> items;
  for (LRESULT i = 0; i < SendMessageA(list, CB_GETCOUNT, 0, 0); ++i) {
    char item[PORT_PATH_SIZE] = "";
    SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
    items.push_back(item);
  }
  EXPECT_EQ(items, table);
  EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
  DestroyWindow(list);
}

struct OpenPort : ::testing::Test {
  PortHandle port = PORT_INVALID;
  void open(const char* path) {
    port = port_open(path);
    ASSERT_NE(port, PORT_INVALID) << path << " error " << GetLastError();
  }
  void TearDown() override {
    if (port != PORT_INVALID) CloseHandle(port);
  }
};

// A pseudo-terminal keeps no parity (the kernel clears it and forces 8 data bits) and has no
// modem lines, so parity, DTR and RTS cannot be read back here; the rest can.
TEST_F(OpenPort, ConfigureSetsLineFormatAndTimeouts) {
  open("\\\\.\\com3");
  // Start from settings unlike ours, so that each field read back was really set.
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 9600;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  ASSERT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS odd = {1, 2, 3, 4, 5};
  ASSERT_TRUE(SetCommTimeouts(port, &odd));

  ASSERT_EQ(port_configure(port, 115200, 20), 0);
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_TRUE(dcb.fBinary);
  EXPECT_FALSE(dcb.fOutxCtsFlow);
  EXPECT_FALSE(dcb.fOutxDsrFlow);
  EXPECT_NE(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_FALSE(dcb.fOutX);
  EXPECT_FALSE(dcb.fInX);
  EXPECT_FALSE(dcb.fDsrSensitivity);
  EXPECT_FALSE(dcb.fNull);
  EXPECT_FALSE(dcb.fAbortOnError);
  COMMTIMEOUTS timeouts = {};
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

// The engine relies on a read coming back on a silent line, or the window would freeze.
TEST_F(OpenPort, ReadOnASilentLineReturnsNothingAfterAbout100ms) {
  open("\\\\.\\com12");
  ASSERT_EQ(port_configure(port, 115200, 20), 0);
  uint8_t buffer[1040];
  DWORD started = GetTickCount();
  EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
  DWORD took = GetTickCount() - started;
  EXPECT_GE(took, 80u);
  EXPECT_LE(took, 400u);
}

// Bytes waiting in the receive queue, once the echo has had time to come back (2 s at most).
DWORD received_after_echo(PortHandle port, DWORD expected) {
  COMSTAT status = {};
  DWORD errors = 0;
  for (int waited = 0; waited < 2000; waited += 10) {
    if (!ClearCommError(port, &errors, &status) || status.cbInQue >= expected) break;
    Sleep(10);
  }
  return status.cbInQue;
}

TEST_F(OpenPort, PurgeDiscardsBytesAlreadyReceived) {
  open("\\\\.\\com3");
  ASSERT_EQ(port_configure(port, 115200, 20), 0);
  const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  uint8_t buffer[1040];
  // First without a purge: the echo does come back, so its absence below means something.
  EXPECT_EQ(port_write(port, hello, sizeof hello), 5);
  ASSERT_EQ(received_after_echo(port, 5), 5u);
  ASSERT_EQ(port_read(port, buffer, sizeof buffer), 5);
  EXPECT_EQ(memcmp(buffer, hello, 5), 0);

  EXPECT_EQ(port_write(port, hello, sizeof hello), 5);
  ASSERT_EQ(received_after_echo(port, 5), 5u);
  port_purge(port);
  EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
}

}  // namespace
