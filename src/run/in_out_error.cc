#include "run/in_out_error.h"

#include <cstdio>

#include "run/fixed_texts.h"

namespace stashwell {

EInOutError::EInOutError(uint32_t code, const void* location)
    : code_(code), message_(InOutErrorMessage(code)), location_(location) {}

std::string InOutErrorMessage(uint32_t code) {
  for (const CodeText& known : kInOutErrorTexts) {
    if (known.code == code) return known.text;
  }
  // Codes are shown as the signed 32-bit numbers they were reported as.
  return "I/O error " + std::to_string(static_cast<int32_t>(code));
}

// Kept out of line so that the return address names the checked call.
__attribute__((noinline)) void CheckInOut(uint32_t code) {
  if (code != 0) throw EInOutError(code, __builtin_return_address(0));
}

std::string FailureReportText(const std::string& kind,
                              const std::string& module, uintptr_t offset,
                              const std::string& message) {
  char location[17];
  std::snprintf(location, sizeof location, "%08llX",
                static_cast<unsigned long long>(offset) & 0xFFFFFFFFull);
  const bool add_dot = !message.empty() && message.back() != '.';
  return "Exception " + kind + " in module " + module + " at " + location +
         ".\r\n" + message + (add_dot ? "." : "") + "\r\n";
}

}  // namespace stashwell
