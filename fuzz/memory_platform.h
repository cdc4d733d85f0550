// A Platform over a map of files in memory, with Windows path rules, for
// the fuzz targets: every operation of the seam, no disk, no user. Paths
// are compared as Windows compares them (case-insensitive, "." and ".."
// resolved, "\" and "/" alike). Opens share as the Win32 opens do: a file
// open for writing or for reading (not shared) cannot be deleted, and a
// file open for writing cannot be opened for reading.
#ifndef STASHWELL_FUZZ_MEMORY_PLATFORM_H_
#define STASHWELL_FUZZ_MEMORY_PLATFORM_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace stashwell {

class MemoryPlatform : public Platform {
 public:
  MemoryPlatform();

  // Setting up.
  void AddDirectory(const std::string& path);
  void AddFile(const std::string& path, const std::string& bytes,
               DayCount write_time = 0);
  void SetCommandLine(const std::string& text);
  // Reads deliver at most this many bytes (0: no limit).
  void SetReadLimit(size_t limit) { read_limit_ = limit; }

  // Looking at the result.
  static std::string Normal(const std::string& path);
  bool HasFile(const std::string& path) const;
  std::string FileBytes(const std::string& path) const;
  // Normal path to bytes, for every file.
  std::map<std::string, std::string> Files() const;
  std::vector<std::string> errors;  // texts of the error reports shown

  const PathSyntax& Syntax() override { return syntax_; }
  bool IsExistingFile(const std::string& path) override;
  bool IsExistingDirectory(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  uint32_t CopyFileNoReplace(const std::string& source,
                             const std::string& destination) override;
  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override;
  bool IsSameFile(const std::string& first, const std::string& second) override;
  uint32_t OpenForWrite(const std::string& path, FileHandle* file) override;
  uint32_t OpenForRead(const std::string& path, FileHandle* file) override;
  uint32_t OpenShared(const std::string& path, FileHandle* file) override;
  uint32_t Read(FileHandle file, void* buffer, size_t size,
                size_t* count) override;
  uint32_t Write(FileHandle file, const void* data, size_t size) override;
  uint32_t Size(FileHandle file, uint64_t* size) override;
  uint32_t Close(FileHandle file) override;
  DayCount LocalNow() override { return now_; }
  LocaleFormats ReadLocaleFormats() override { return LocaleFormats(); }
  bool AskYesNo(const std::string&, const std::string&) override {
    return false;
  }
  void ShowWarning(const std::string&, const std::string&) override {}
  void ShowError(const std::string& text, const std::string&) override {
    errors.push_back(text);
  }
  void OpenWithShell(const std::string&) override {}
  CommandLine ReadCommandLine() override { return command_line_; }
  std::string ProgramFileName() override { return "stashwell.exe"; }
  uintptr_t CodeOffset(const void*) override { return 0x1000; }

 private:
  struct File {
    std::shared_ptr<std::string> bytes;
    DayCount write_time = 0;
  };
  enum class Mode { kWrite, kRead, kShared };
  struct Open {
    std::string path;  // normal form
    std::shared_ptr<std::string> bytes;
    size_t position = 0;
    Mode mode;
  };

  static std::string Parent(const std::string& normal);
  bool IsOpen(const std::string& normal, Mode mode) const;
  uint32_t OpenExisting(const std::string& path, Mode mode, FileHandle* file);

  PathSyntax syntax_ = PathSyntax::Windows();
  std::map<std::string, File> files_;
  std::set<std::string> directories_;
  std::map<FileHandle, Open> open_;
  FileHandle next_handle_ = 1;
  size_t read_limit_ = 0;
  DayCount now_ = 46363.5;
  CommandLine command_line_;
};

}  // namespace stashwell

#endif  // STASHWELL_FUZZ_MEMORY_PLATFORM_H_
