// UTF-8 text of a wide string, for the test helpers' output.
#ifndef STASHWELL_TESTS_WIN_UTF8_H_
#define STASHWELL_TESTS_WIN_UTF8_H_

#include <windows.h>

#include <string>

inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return "";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                       static_cast<int>(text.size()), nullptr,
                                       0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      out.data(), size, nullptr, nullptr);
  return out;
}

#endif  // STASHWELL_TESTS_WIN_UTF8_H_
