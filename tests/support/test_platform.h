// The real system platform (or another one given) with the user and the
// clock replaced: message
// boxes and shell requests are recorded, the question is answered as set,
// the clock and the command line are fixed. Faults are injected by setting
// a field.
#ifndef STASHWELL_TESTS_SUPPORT_TEST_PLATFORM_H_
#define STASHWELL_TESTS_SUPPORT_TEST_PLATFORM_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/system_platform.h"
#include "support/platform_wrapper.h"

namespace stashwell {

struct ShownBox {
  std::string kind;  // "warning", "error" or "question"
  std::string caption;
  std::string text;
};

// Owns the system platform; a base of its own so that it is built before
// the wrapper that forwards to it.
struct SystemPlatformHolder {
  std::unique_ptr<Platform> system = MakeSystemPlatform(0, nullptr);
};

class TestPlatform : private SystemPlatformHolder, public PlatformWrapper {
 public:
  TestPlatform() : PlatformWrapper(*system) {}
  // The same over another platform, such as the memory platform.
  explicit TestPlatform(Platform& target) : PlatformWrapper(target) {}

  // Replaces the command line by already split arguments.
  void SetArguments(std::vector<std::string> arguments) {
    command_line_.is_text = false;
    command_line_.argv = std::move(arguments);
  }

  bool AskYesNo(const std::string& text, const std::string& caption) override {
    boxes.push_back({"question", caption, text});
    return answer_yes;
  }
  void Tell(Notice notice, const std::string& text,
            const std::string& caption) override {
    boxes.push_back(
        {notice == Notice::kWarning ? "warning" : "error", caption, text});
  }
  void OpenWithShell(const std::string& path) override {
    opened.push_back(path);
  }
  DayCount LocalNow() override { return now; }
  LocaleFormats ReadLocaleFormats() override { return LocaleFormats(); }
  CommandLine ReadCommandLine() override { return command_line_; }

  // Writes fail with write_error once write_budget bytes have been written
  // (counting every write since the last reset).
  uint32_t FileWrite(WrappedFile& file, const void* data,
                     size_t size) override {
    writes.push_back(size);
    if (write_error != 0 && written + size > write_budget) return write_error;
    written += size;
    return PlatformWrapper::FileWrite(file, data, size);
  }
  // The log's creation fails with create_error.
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    if (use == FileUse::kLog && create_error != 0) return create_error;
    return PlatformWrapper::Open(path, use, file);
  }
  uint32_t FileClose(WrappedFile& file) override {
    const uint32_t code = PlatformWrapper::FileClose(file);
    return close_error != 0 ? close_error : code;
  }

  // 7 December 2026, 09:05:03.
  DayCount now = 46363 + (9 * 3600 + 5 * 60 + 3) / 86400.0;
  bool answer_yes = false;
  std::vector<ShownBox> boxes;
  std::vector<std::string> opened;
  std::vector<size_t> writes;
  size_t written = 0;
  size_t write_budget = 0;
  uint32_t write_error = 0;
  uint32_t create_error = 0;
  uint32_t close_error = 0;

 private:
  CommandLine command_line_;
};

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_TEST_PLATFORM_H_
