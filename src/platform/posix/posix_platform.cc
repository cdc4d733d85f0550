// Minimal POSIX platform, to be completed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/system_platform.h"

namespace stashwell {
namespace {

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) {
    command_line_.is_text = false;
    for (int i = 1; i < argc; ++i) command_line_.argv.push_back(argv[i]);
  }
  const PathSyntax& Syntax() override { return syntax_; }
  bool IsExistingFile(const std::string& path) override {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }
  bool IsExistingDirectory(const std::string& path) override {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  bool RemoveFile(const std::string& path) override {
    return unlink(path.c_str()) == 0;
  }
  uint32_t CopyFileNoReplace(const std::string&, const std::string&) override {
    return kErrorNotSupported;
  }
  std::vector<SearchEntry> FindMatching(const std::string&, uint32_t) override {
    return {};
  }
  bool IsSameFile(const std::string&, const std::string&) override {
    return false;
  }
  uint32_t OpenForWrite(const std::string& path, FileHandle* file) override {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return Code();
    *file = fd;
    return 0;
  }
  uint32_t OpenForRead(const std::string& path, FileHandle* file) override {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Code();
    *file = fd;
    return 0;
  }
  uint32_t OpenShared(const std::string& path, FileHandle* file) override {
    return OpenForRead(path, file);
  }
  uint32_t Read(FileHandle file, void* buffer, size_t size,
                size_t* count) override {
    ssize_t n = read(static_cast<int>(file), buffer, size);
    if (n < 0) return Code();
    *count = static_cast<size_t>(n);
    return 0;
  }
  uint32_t Write(FileHandle file, const void* data, size_t size) override {
    ssize_t n = write(static_cast<int>(file), data, size);
    if (n < 0) return Code();
    return static_cast<size_t>(n) == size ? 0 : kErrorDiskFull;
  }
  uint32_t Size(FileHandle file, uint64_t* size) override {
    struct stat st;
    if (fstat(static_cast<int>(file), &st) != 0) return Code();
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
  }
  uint32_t Close(FileHandle file) override {
    return close(static_cast<int>(file)) == 0 ? 0 : Code();
  }
  DayCount LocalNow() override {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    DateTimeFields f;
    f.year = tm.tm_year + 1900;
    f.month = tm.tm_mon + 1;
    f.day = tm.tm_mday;
    f.hour = tm.tm_hour;
    f.minute = tm.tm_min;
    f.second = tm.tm_sec;
    return EncodeDayCount(f);
  }
  LocaleFormats ReadLocaleFormats() override { return {}; }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return false;
  }
  void ShowWarning(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
  void ShowError(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
  void OpenWithShell(const std::string&) override {}
  CommandLine ReadCommandLine() override { return command_line_; }
  std::string ProgramFileName() override { return "stashwell"; }
  uintptr_t CodeOffset(const void*) override { return 0; }

 private:
  static uint32_t Code() { return errno == ENOENT ? 2 : 5; }
  PathSyntax syntax_ = PathSyntax::Posix();
  CommandLine command_line_;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace stashwell
