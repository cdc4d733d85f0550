// A Platform over a map of files in memory, with Windows path rules, for
// the unit tests where a disk is not the point and for the fuzz targets:
// every operation of the seam, no disk, no user. Paths are compared as
// Windows compares them (case-insensitive, "." and ".." resolved, "\" and
// "/" alike). Opens share as the Win32 opens do: a file open for writing
// or for reading (not shared) cannot be deleted, and a file open for
// writing cannot be opened for reading.
//
// Its folders copy by the one copy protocol, on primitives over the map:
// an unnamed staged file (bytes of no name), or a named one in the
// program's own folder ".stashwell", published by a link or a rename that
// refuses a taken name; it has no reservation. Every change is final at
// once, so a flush has nothing to do.
#ifndef STASHWELL_TESTS_SUPPORT_MEMORY_PLATFORM_H_
#define STASHWELL_TESTS_SUPPORT_MEMORY_PLATFORM_H_

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
  // Changes a file's bytes in place, as a program writing into it does:
  // the same file, other bytes.
  void Rewrite(const std::string& path, const std::string& bytes);
  // Reads deliver at most this many bytes (0: no limit).
  void SetReadLimit(size_t limit) { read_limit_ = limit; }
  // The number this platform's run gives its temporary files; those of
  // any other number are a dead run's.
  static constexpr uint64_t kProcess = 1;

  // Looking at the result.
  static std::string Normal(const std::string& path);
  bool HasFile(const std::string& path) const;
  std::string FileBytes(const std::string& path) const;
  // Normal path to bytes, for every file.
  std::map<std::string, std::string> Files() const;
  std::vector<std::string> errors;  // texts of the error reports shown

  const PathSyntax& Syntax() override { return syntax_; }
  using Platform::Examine;
  PathKind Examine(const std::string& path, uint32_t* code) override;
  std::optional<FileId> IdentityOf(const std::string& path) override;
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override;
  bool RemoveFile(const std::string& path) override;
  Removal RemoveProvenFile(const std::string& path,
                           const FileProof& proof) override;
  uint32_t OpenFolder(const std::string& path,
                      std::unique_ptr<Folder>* folder) override;
  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override;
  DayCount LocalNow() override { return now_; }
  LocaleFormats ReadLocaleFormats() override { return LocaleFormats(); }
  bool AskYesNo(const std::string&, const std::string&) override {
    return false;
  }
  void Tell(Notice notice, const std::string& text,
            const std::string&) override {
    if (notice == Notice::kError) errors.push_back(text);
  }
  void OpenWithShell(const std::string&) override {}
  CommandLine ReadCommandLine() override { return command_line_; }
  std::string ProgramFileName() override { return "stashwell.exe"; }
  uintptr_t CodeOffset(const void*) override { return 0x1000; }

 private:
  class MemoryFile;
  class MemoryFolder;
  class MemoryCopy;
  struct Stored {
    std::shared_ptr<std::string> bytes;
    DayCount write_time = 0;
    uint64_t index = 0;  // the file's identity
  };

  static std::string Parent(const std::string& normal);
  bool IsOpen(const std::string& normal, FileUse use) const;
  // A memory file's proof: its identity and size; nothing changes a file's
  // bytes in place but the log's own writes.
  std::optional<FileProof> ProofOfPath(const std::string& path) const;
  Stored& Store(const std::string& normal, std::string bytes,
                DayCount write_time);

  PathSyntax syntax_ = PathSyntax::Windows();
  std::map<std::string, Stored> files_;
  std::set<std::string> directories_;
  // Every open file, with its normal path and use, until closed.
  std::set<MemoryFile*> open_;
  uint64_t next_index_ = 1;
  size_t read_limit_ = 0;
  DayCount now_ = 46363.5;
  CommandLine command_line_;
};

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_MEMORY_PLATFORM_H_
