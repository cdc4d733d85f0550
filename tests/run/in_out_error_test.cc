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

}  // namespace
}  // namespace stashwell
