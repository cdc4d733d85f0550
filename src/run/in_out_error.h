// EInOutError: what a failed checked file operation raises. Nothing in the
// run handles it; the entry catches it, shows the error report and ends the
// process with exit code 1.
#ifndef STASHWELL_RUN_IN_OUT_ERROR_H_
#define STASHWELL_RUN_IN_OUT_ERROR_H_

#include <cstdint>
#include <exception>
#include <string>

namespace stashwell {

class EInOutError : public std::exception {
 public:
  EInOutError(uint32_t code, const void* location);

  uint32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  // The code address at which the failure was detected.
  const void* location() const { return location_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  uint32_t code_;
  std::string message_;
  const void* location_;
};

// The message text chosen from an error code: "File not found" for 2, ...,
// "I/O error <code>" for codes without a text of their own.
std::string InOutErrorMessage(uint32_t code);

// Throws EInOutError for a non-zero code, recording the caller's address as
// the place the failure was detected. Every checked file operation ends in
// one call of it.
void CheckInOut(uint32_t code);

// The error report's text: "Exception <kind> in module <module> at
// <offset as 8 upper-case hex digits>.\r\n<message><.>\r\n", the "." added
// when the message is not empty and does not end in one already.
std::string FailureReportText(const std::string& kind,
                              const std::string& module, uintptr_t offset,
                              const std::string& message);

}  // namespace stashwell

#endif  // STASHWELL_RUN_IN_OUT_ERROR_H_
