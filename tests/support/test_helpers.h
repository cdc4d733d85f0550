// Small things many tests do, written once: a file's last-write time, the
// read-only mark, the system's separator as a text, the log of a run under
// the test platform's fixed clock, and the failure a step raises.
#ifndef STASHWELL_TESTS_SUPPORT_TEST_HELPERS_H_
#define STASHWELL_TESTS_SUPPORT_TEST_HELPERS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/date_time.h"
#include "run/in_out_error.h"
#include "run/run_state.h"
#include "support/scratch_dir.h"

namespace stashwell {

// A local date and time from its fields (no day of the week).
inline DateTimeFields FieldsAt(int year, int month, int day, int hour = 0,
                               int minute = 0, int second = 0,
                               int millisecond = 0) {
  DateTimeFields fields;
  fields.year = year;
  fields.month = month;
  fields.day = day;
  fields.hour = hour;
  fields.minute = minute;
  fields.second = second;
  fields.millisecond = millisecond;
  return fields;
}

// The system's folder separator as a text, for joining paths in tests.
inline std::string Sep() { return std::string(1, kSeparator); }

// Sets the last-write time of a file or folder, in seconds since 1970
// (UTC). A failure fails the test.
void SetWriteTime(const std::string& path, int64_t seconds);
// The last-write time of a file, in seconds since 1970 (UTC).
int64_t WriteTime(const std::string& path);

// size bytes of a pattern that does not repeat within a block of any size
// the program reads.
std::string PatternBytes(size_t size);

// Takes every write permission from a file (the read-only attribute on
// Windows).
void MakeReadOnly(const std::string& path);

// Line 1 of a log that the test platform's clock (7 December 2026,
// 09:05:03) and the default regional settings give.
inline constexpr char kDateLine[] = "12/7/26 9:05:03\r\n";

// The run's log after line 1, once the log is closed (FinishRunLog, when it
// is still open): "(no log)" when it was deleted because nothing was
// recorded, "(no date line) " and the whole log when line 1 is not
// kDateLine.
std::string LogLines(RunState& state);

// True when both paths name one existing file on disk, as the platform's
// identities tell.
bool SameFile(Platform& os, const std::string& first,
              const std::string& second);

// Success when step raises EInOutError with that code, operation and path
// (and, where given, that message); otherwise says what it raised.
::testing::AssertionResult RaisesInOutError(const std::function<void()>& step,
                                            uint32_t code,
                                            InOutOperation operation,
                                            const std::string& path,
                                            const char* message = nullptr);

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_TEST_HELPERS_H_
