// The COM ports present on Windows, and what SetupAPI knows of each: the USB ids and serial
// number in its device's ids, the maker, the USB product string, and the friendly name
// Device Manager shows.
#include <windows.h>
// SetupAPI's header needs the types of windows.h before it.
#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "serial/line_w32.h"
#include "serial/serial.h"

namespace {

// A defined device name, or one that opens or is held by another program. The open is only
// tried when the name is not defined (Wine, for one, defines linked ports only that way).
bool com_present(const char* name, char* buffer, DWORD size) {
  if (QueryDosDeviceA(name, buffer, size) != 0) return true;
  char path[32];
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return true;
  }
  DWORD code = GetLastError();
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
}

// The Ports class: every COM and LPT port Device Manager lists.
const GUID PORTS_CLASS = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// The product string the USB device itself reports (Windows 7 and later).
struct PropertyKey {
  GUID id;
  ULONG pid;
};
const PropertyKey BUS_REPORTED_DESC = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
using GetDevicePropertyW = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const PropertyKey*, ULONG*,
                                         BYTE*, DWORD, DWORD*, DWORD);

std::string registry_text(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  char text[512];
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 2, nullptr))
    return "";
  text[sizeof text - 2] = '\0';
  return text;  // a list's first entry
}

// Looked up at run time: the call is missing before Vista, where the exe must still start.
std::string bus_product(HDEVINFO set, SP_DEVINFO_DATA& device) {
  static auto get = reinterpret_cast<GetDevicePropertyW>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("setupapi.dll"), "SetupDiGetDevicePropertyW")));
  wchar_t wide[256];
  ULONG type = 0;
  if (!get || !get(set, &device, &BUS_REPORTED_DESC, &type, reinterpret_cast<BYTE*>(wide),
                   sizeof wide - sizeof(wchar_t), nullptr, 0))
    return "";
  wide[255] = L'\0';
  char text[768];
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return n > 0 ? text : "";
}

void identify(std::vector<PortInfo>& ports) {
  HDEVINFO set = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char name[64] = "";
    DWORD size = sizeof name - 1, type = 0;
    LONG got =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (got != ERROR_SUCCESS || type != REG_SZ) continue;
    name[size < sizeof name ? size : sizeof name - 1] = '\0';
    for (PortInfo& port : ports) {
      if (_stricmp(port.name.c_str(), name) != 0) continue;
      char instance[512] = "";
      if (SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr)) {
        usb_ids_parse(instance, port);
        usb_serial_parse(instance, port);
      }
      if (port.vid.empty()) usb_ids_parse(registry_text(set, device, SPDRP_HARDWAREID), port);
      port.manufacturer = registry_text(set, device, SPDRP_MFG);
      port.product = bus_product(set, device);
      port.description = registry_text(set, device, SPDRP_FRIENDLYNAME);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<PortInfo> serial_ports_in(const std::string&) {
  std::vector<PortInfo> ports;
  for (int n = 1; n <= PORT_NUMBER_MAX; ++n) {
    char name[16];
    char target[512];
    snprintf(name, sizeof name, "COM%d", n);
    if (!com_present(name, target, sizeof target)) continue;
    PortInfo port;
    port.name = name;
    ports.push_back(port);
  }
  identify(ports);
  return ports;
}

std::vector<PortInfo> serial_ports() { return serial_ports_in(""); }
