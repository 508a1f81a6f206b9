// Line settings and COM port names of Windows serial ports: shared by the dialog and quarv-flash.
#include "serial/line_w32.h"

#include <cctype>
#include <cstdio>
#include <cstring>

void port_line_settings(DCB& dcb, uint32_t baud) {
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fParity = FALSE;  // even parity goes out, but received bytes are not checked
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
}

void port_read_timeouts(COMMTIMEOUTS& timeouts, uint32_t interval_ms) {
  timeouts.ReadIntervalTimeout = interval_ms;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
}

bool com_port_path(const char* text, char* path, size_t size) {
  while (*text == ' ') ++text;
  if (strncmp(text, "\\\\.\\", 4) == 0) text += 4;
  if (tolower(static_cast<unsigned char>(text[0])) != 'c' ||
      tolower(static_cast<unsigned char>(text[1])) != 'o' ||
      tolower(static_cast<unsigned char>(text[2])) != 'm')
    return false;
  text += 3;
  if (*text < '1' || *text > '9') return false;  // no sign, no leading zero
  int number = 0;
  while (*text >= '0' && *text <= '9' && number <= PORT_NUMBER_MAX)
    number = number * 10 + (*text++ - '0');
  while (*text == ' ') ++text;
  if (*text != '\0' || number > PORT_NUMBER_MAX) return false;
  char normal[16];
  int length = snprintf(normal, sizeof normal, "\\\\.\\com%d", number);
  if (length < 0 || static_cast<size_t>(length) >= size) return false;
  memcpy(path, normal, static_cast<size_t>(length) + 1);
  return true;
}
