// A Platform over a map of files in memory, with Windows path rules, for
// the unit tests where a disk is not the point, the fuzz targets, and the
// property test and the adversary explorer beside their runs on the real
// file system: every operation of the seam, no disk, no user. Paths are
// compared as Windows compares them (case-insensitive, "." and ".."
// resolved, "\" and "/" alike); a relative path is taken from the working
// folder, where one is set. Opens share as the Win32 opens do: a file open
// for writing or for reading (not shared) cannot be deleted, and a file
// open for writing cannot be opened for reading; a read-only file is
// neither deleted nor written. A file's proof is its identity, its size
// and a count of the changes to its bytes. It has no links: what a link
// does is shown on the real file systems only.
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
  // The folder relative paths are taken from; none at first.
  void SetWorkingFolder(const std::string& path) { working_ = Normal(path); }
  // kAttr* bits of a file; kAttrArchive at first.
  void SetAttributes(const std::string& path, uint32_t attributes);
  void SetWriteTime(const std::string& path, DayCount time);
  // Changes a file's bytes in place, as a program writing into it does:
  // the same file, other bytes.
  void Rewrite(const std::string& path, const std::string& bytes);
  // What another program does with a file: gives it a new name (any file
  // there is replaced), the same file still. False when from is no file or
  // to is a folder or in none.
  bool Rename(const std::string& from, const std::string& to);
  // Reads deliver at most this many bytes (0: no limit).
  void SetReadLimit(size_t limit) { read_limit_ = limit; }
  // The number this platform's run gives its temporary files; those of
  // any other number are a dead run's.
  static constexpr uint64_t kProcess = 1;

  // Looking at the result.
  static std::string Normal(const std::string& path);
  // The same, a relative path taken from the folder base (none: empty).
  static std::string Normal(const std::string& path, const std::string& base);
  bool HasFile(const std::string& path) const;
  bool HasDirectory(const std::string& path) const;
  // The names directly in folder, each true for a folder.
  std::map<std::string, bool> Entries(const std::string& folder) const;
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
    // Changes made to the bytes since the file was made: a proof's change
    // stamp.
    std::shared_ptr<int64_t> changes;
    DayCount write_time = 0;
    uint64_t index = 0;  // the file's identity
    uint32_t attributes = kAttrArchive;
    FileProof Proof() const;
  };

  static std::string Parent(const std::string& normal);
  // The normal form of path, a relative one taken from the working folder.
  std::string Resolve(const std::string& path) const;
  bool IsOpen(const std::string& normal, FileUse use) const;
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
  std::string working_;
};

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_MEMORY_PLATFORM_H_
