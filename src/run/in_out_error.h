// EInOutError: what a failed checked file operation raises. Nothing in the
// run handles it; the entry catches it, shows the error report and ends the
// process with exit code 1.
#ifndef STASHWELL_RUN_IN_OUT_ERROR_H_
#define STASHWELL_RUN_IN_OUT_ERROR_H_

#include <cstdint>
#include <exception>
#include <string>

namespace stashwell {

// The checked file operations, by what they were doing.
enum class InOutOperation {
  kUnnamed,  // a caller that did not say
  kLogCreate,
  kLogWrite,
  kLogClose,
  kMessageOpen,
  kMessageRead,
  kMessageClose,
  kComparisonOpen,
  kComparisonSize,
  kComparisonRead,
  kComparisonClose,
};

// "log create", "message read", ...; "" for kUnnamed.
const char* InOutOperationName(InOutOperation operation);

// The failure of one checked file operation: the system's code (a Win32
// code on every system), the message chosen from it, what was being done
// and to which path, and the code address at which it was detected. The
// error report shows the message alone, in its fixed form; the operation
// and the path are there for whoever handles the failure.
class EInOutError : public std::exception {
 public:
  EInOutError(uint32_t code, const void* location,
              InOutOperation operation = InOutOperation::kUnnamed,
              std::string path = {});

  uint32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  InOutOperation operation() const { return operation_; }
  // The path the operation worked on; empty where it was not given.
  const std::string& path() const { return path_; }
  // The code address at which the failure was detected.
  const void* location() const { return location_; }
  const char* what() const noexcept override { return message_.c_str(); }
  // One line in the program's own voice: "<operation> <<path>> failed;
  // Code <code>", without the parts that are not known ("failed; Code 5"
  // alone at the least).
  std::string Context() const;

 private:
  uint32_t code_;
  std::string message_;
  InOutOperation operation_;
  std::string path_;
  const void* location_;
};

// The message text chosen from an error code: "File not found" for 2, ...,
// "I/O error <code>" for codes without a text of their own.
std::string InOutErrorMessage(uint32_t code);

// Throws EInOutError for a non-zero code, recording the caller's address as
// the place the failure was detected. Every checked file operation ends in
// one call of it.
void CheckInOut(uint32_t code);
// The same, saying what was being done and to which path.
void CheckInOut(uint32_t code, InOutOperation operation,
                const std::string& path);

// The error report's text: "Exception <kind> in module <module> at
// <offset as 8 upper-case hex digits>.\r\n<message><.>\r\n", the "." added
// when the message is not empty and does not end in one already.
std::string FailureReportText(const std::string& kind,
                              const std::string& module, uintptr_t offset,
                              const std::string& message);

}  // namespace stashwell

#endif  // STASHWELL_RUN_IN_OUT_ERROR_H_
