// What a pseudo-terminal under Wine cannot show: parity, line-error handling, modem lines.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "serial/port_w32.h"

namespace {

// From settings with every bit clear, every bit set and a mixed pattern: the members the set-up
// names take their values, every other one keeps what the port had.
TEST(PortSettings, LineFormatKeepsTheRestAndReadTimeOutsAreAllSet) {
  for (auto [fill, baud, interval] : {std::tuple<int, uint32_t, uint32_t>{0x00, 115200, 20},
                                      {0xFF, 115200, 20},
                                      {0x5A, 9600, 7}}) {
    SCOPED_TRACE(fill);
    DCB dcb, want;
    memset(&dcb, fill, sizeof dcb);
    memset(&want, fill, sizeof want);
    port_line_settings(dcb, baud);
    want.BaudRate = baud;
    want.ByteSize = 8;
    want.Parity = EVENPARITY;
    want.StopBits = ONESTOPBIT;
    want.fBinary = want.fTXContinueOnXoff = TRUE;
    want.fParity = want.fOutxCtsFlow = want.fOutxDsrFlow = want.fDsrSensitivity = FALSE;
    want.fOutX = want.fInX = want.fErrorChar = want.fNull = want.fAbortOnError = FALSE;
    want.fDtrControl = DTR_CONTROL_DISABLE;
    want.fRtsControl = RTS_CONTROL_DISABLE;
    auto* got = reinterpret_cast<const uint8_t*>(&dcb);  // byte by byte, to show where
    auto* wanted = reinterpret_cast<const uint8_t*>(&want);
    EXPECT_EQ(std::vector<int>(got, got + sizeof dcb),
              std::vector<int>(wanted, wanted + sizeof want));

    COMMTIMEOUTS t;
    memset(&t, fill, sizeof t);
    port_read_timeouts(t, interval);
    EXPECT_EQ((std::vector<DWORD>{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                  t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                  t.WriteTotalTimeoutConstant}),
              (std::vector<DWORD>{interval, 0, 100, 0, 0}));
  }
}

}  // namespace
