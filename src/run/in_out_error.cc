#include "run/in_out_error.h"

#include <cstdio>
#include <utility>

#include "run/fixed_texts.h"

namespace stashwell {

const char* InOutOperationName(InOutOperation operation) {
  switch (operation) {
    case InOutOperation::kUnnamed:
      return "";
    case InOutOperation::kLogCreate:
      return "log create";
    case InOutOperation::kLogWrite:
      return "log write";
    case InOutOperation::kLogClose:
      return "log close";
    case InOutOperation::kMessageOpen:
      return "message open";
    case InOutOperation::kMessageRead:
      return "message read";
    case InOutOperation::kMessageClose:
      return "message close";
    case InOutOperation::kComparisonOpen:
      return "comparison open";
    case InOutOperation::kComparisonSize:
      return "comparison size";
    case InOutOperation::kComparisonRead:
      return "comparison read";
    case InOutOperation::kComparisonClose:
      return "comparison close";
  }
  return "";
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
