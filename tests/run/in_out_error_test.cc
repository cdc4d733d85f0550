#include "run/in_out_error.h"

#include <gtest/gtest.h>

namespace stashwell {
namespace {

TEST(InOutErrorMessage, TextsOfTheKnownCodes) {
  const struct {
    uint32_t code;
    const char* message;
  } cases[] = {
      {2, "File not found"},
      {3, "Invalid filename"},
      {4, "Too many open files"},
      {5, "File access denied"},
      {100, "Read beyond end of file"},
      {101, "Disk full"},
      {106, "Invalid numeric input"},
      {112, "I/O error 112"},
      {80, "I/O error 80"},
      {0xFFFFFFFFu, "I/O error -1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InOutErrorMessage(c.code), c.message) << c.code;
  }
}

// What the error says of itself, for whoever handles it: the parts that
// are known, in the program's own voice.
TEST(InOutErrorContext, OperationPathAndCode) {
  const struct {
    InOutOperation operation;
    const char* path;
    uint32_t code;
    const char* context;
  } cases[] = {
      {InOutOperation::kLogWrite, "C:\\Mail\\msg.log", 112,
       "log write <C:\\Mail\\msg.log> failed; Code 112"},
      {InOutOperation::kMessageRead, "C:\\Mail\\eud17.tmp", 5,
       "message read <C:\\Mail\\eud17.tmp> failed; Code 5"},
      {InOutOperation::kComparisonOpen, "", 5,
       "comparison open failed; Code 5"},
      {InOutOperation::kUnnamed, "a.pdf", 32, "<a.pdf> failed; Code 32"},
      {InOutOperation::kUnnamed, "", 0xFFFFFFFFu, "failed; Code -1"},
  };
  for (const auto& c : cases) {
    const EInOutError error(c.code, nullptr, c.operation, c.path);
    EXPECT_EQ(error.Context(), c.context) << c.context;
    EXPECT_EQ(error.message(), InOutErrorMessage(c.code));
    EXPECT_EQ(error.operation(), c.operation);
    EXPECT_EQ(error.path(), c.path);
  }
}

}  // namespace
}  // namespace stashwell
