#include "support/test_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "run/run_log.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace stashwell {

namespace fs = std::filesystem;

namespace {
// Seconds from 1 January 1601, where Windows counts file times from, to
// 1970.
constexpr int64_t kWindowsEpochToUnix = 11644473600LL;
}  // namespace

void SetWriteTime(const std::string& path, int64_t seconds) {
#ifdef _WIN32
  // Folders open only with backup semantics.
  HANDLE handle = CreateFileA(
      path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
  const uint64_t ticks =
      static_cast<uint64_t>(seconds + kWindowsEpochToUnix) * 10000000ULL;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &time)) << path;
  CloseHandle(handle);
#else
  const struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                    {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
#endif
}

int64_t WriteTime(const std::string& path) {
  return std::chrono::system_clock::to_time_t(
      std::chrono::file_clock::to_sys(fs::last_write_time(path)));
}

std::string PatternBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
  }
  return bytes;
}

void MakeReadOnly(const std::string& path) {
  fs::permissions(
      path,
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
}

bool SameFile(Platform& os, const std::string& first,
              const std::string& second) {
  const std::optional<FileId> a = os.IdentityOf(first);
  return a && a == os.IdentityOf(second);
}

std::string LogLines(RunState& state) {
  if (state.Log) FinishRunLog(state);
  std::string log;
  if (!ScratchDir::Read(state.LogPath, &log)) return "(no log)";
  if (log.rfind(kDateLine, 0) != 0) return "(no date line) " + log;
  return log.substr(sizeof kDateLine - 1);
}

::testing::AssertionResult RaisesInOutError(const std::function<void()>& step,
                                            uint32_t code,
                                            InOutOperation operation,
                                            const std::string& path,
                                            const char* message) {
  try {
    step();
  } catch (const EInOutError& error) {
    if (error.code() == code && error.operation() == operation &&
        error.path() == path &&
        error.message() == (message ? message : InOutErrorMessage(code))) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "raised " << error.Context() << " (" << error.message()
           << "), not "
           << EInOutError(code, nullptr, operation, path).Context();
  }
  return ::testing::AssertionFailure() << "nothing raised";
}

}  // namespace stashwell
