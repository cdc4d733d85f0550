// Test helper registered in the test prefix as the program that opens
// ".log" files: appends the path it was asked to open, as one UTF-8 line,
// to the record file named by STASHWELL_OPEN_RECORD, or to opened.txt
// beside itself when that is not set.
#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <string>

#include "utf8.h"

namespace {

std::wstring RecordPath() {
  wchar_t buffer[32768];
  DWORD length = GetEnvironmentVariableW(L"STASHWELL_OPEN_RECORD", buffer,
                                         sizeof buffer / sizeof buffer[0]);
  if (length > 0 && length < sizeof buffer / sizeof buffer[0]) {
    return std::wstring(buffer, length);
  }
  length =
      GetModuleFileNameW(nullptr, buffer, sizeof buffer / sizeof buffer[0]);
  std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"opened.txt";
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::string line =
      Utf8(args && count > 1 ? std::wstring(args[1]) : std::wstring()) + "\n";
  HANDLE record =
      CreateFileW(RecordPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (record == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(record, line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
  CloseHandle(record);
  return 0;
}
