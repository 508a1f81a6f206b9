#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "loader/wide_text.h"
#include "stamp/platform.h"

const char PATH_SEPARATORS[] = "\\/";

namespace {

std::string system_reason(DWORD code) {
  wchar_t text[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text / sizeof text[0], nullptr);
  while (n && (text[n - 1] == L'\n' || text[n - 1] == L'\r' || text[n - 1] == L' ' ||
               text[n - 1] == L'.'))
    --n;
  return n ? utf8_from_wide(text, n) + " (error " + std::to_string(code) + ")"
           : "error " + std::to_string(code);
}

HANDLE open_existing(const std::string& path, DWORD flags) {
  return CreateFileW(wide_from_utf8(path).c_str(), 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool identify(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE file = open_existing(path, 0);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return known;
}

}  // namespace

// The tool's entry point on Windows: its arguments as UTF-8, whatever the code page.
int wmain(int argc, wchar_t** wargv) { return run_with_utf8_arguments(argc, wargv, stamp_main); }

std::string executable_directory(const char*) {
  wchar_t path[32768];
  DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
  std::string self = n && n < sizeof path / sizeof path[0] ? utf8_from_wide(path, n) : "";
  size_t slash = self.find_last_of(PATH_SEPARATORS);
  return slash == std::string::npos ? "." : self.substr(0, slash);
}

bool same_file(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return identify(a, first) && identify(b, second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

OutKind out_kind(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_from_utf8(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return OutLink;
  // Device names (NUL, CON, COM1) exist in every folder: only the handle tells them apart.
  HANDLE file = open_existing(path, FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE)
    return attributes == INVALID_FILE_ATTRIBUTES ? OutMissing : OutOther;
  bool disk = GetFileType(file) == FILE_TYPE_DISK;
  CloseHandle(file);
  return disk && !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? OutRegular : OutOther;
}

bool write_replacing(const std::string& path, const std::string& prefix, bool, const Bytes& bytes,
                     std::string& error) {
  std::wstring temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD code = ERROR_FILE_EXISTS;
  for (unsigned attempt = 0;
       file == INVALID_HANDLE_VALUE && code == ERROR_FILE_EXISTS && attempt < 1000; ++attempt) {
    temporary = wide_from_utf8(prefix + std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(GetTickCount() + attempt));
    file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  }
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot write " + path +
            ": cannot create a temporary file beside it: " + system_reason(code);
    return false;
  }
  for (size_t done = 0; !code && done < bytes.size();) {
    DWORD n = 0, chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    if (!WriteFile(file, bytes.data() + done, chunk, &n, nullptr) || n == 0)
      code = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    done += n;
  }
  if (!code && !FlushFileBuffers(file)) code = GetLastError();
  if (!CloseHandle(file) && !code) code = GetLastError();
  if (!code && !MoveFileExW(temporary.c_str(), wide_from_utf8(path).c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    code = GetLastError();
  if (code) {
    DeleteFileW(temporary.c_str());
    error = "cannot write " + path + ": " + system_reason(code);
    return false;
  }
  return true;
}

bool folder_make(const std::string& path, std::string& error) {
  std::wstring wide = wide_from_utf8(path);
  if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = path + ": " + system_reason(GetLastError());
    return false;
  }
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = path + ": not a folder";
    return false;
  }
  return true;
}

// Windows locks files, not folders; a lock file would be one more file on the web host.
void folder_hold(const std::string&) {}
