#include "run/in_out_error.h"

#include <cstdio>
#include <iterator>
#include <utility>

#include "run/fixed_texts.h"

namespace stashwell {

const char* InOutOperationName(InOutOperation operation) {
  // In the order of the enumeration.
  static constexpr const char* kNames[] = {
      "",
      "log create",
      "log write",
      "log close",
      "message open",
      "message read",
      "message close",
      "comparison open",
      "comparison size",
      "comparison read",
      "comparison close",
  };
  static_assert(std::size(kNames) ==
                static_cast<size_t>(InOutOperation::kComparisonClose) + 1);
  return kNames[static_cast<size_t>(operation)];
}

EInOutError::EInOutError(uint32_t code, const void* location,
                         InOutOperation operation, std::string path)
    : code_(code),
      message_(InOutErrorMessage(code)),
      operation_(operation),
      path_(std::move(path)),
      location_(location) {}

std::string EInOutError::Context() const {
  std::string line = InOutOperationName(operation_);
  if (!path_.empty()) line += (line.empty() ? "<" : " <") + path_ + ">";
  if (!line.empty()) line += ' ';
  return line + "failed; Code " + std::to_string(static_cast<int32_t>(code_));
}

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

__attribute__((noinline)) void CheckInOut(uint32_t code,
                                          InOutOperation operation,
                                          const std::string& path) {
  if (code != 0) {
    throw EInOutError(code, __builtin_return_address(0), operation, path);
  }
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
