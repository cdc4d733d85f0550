// The operating-system seam. Every call a run makes to the OS goes
// through one Platform object, built in the entry and passed down by
// reference (only the POSIX entry's answer to --help and --version, given
// before any platform is built, writes to standard output itself).
// Windows (win32/win32_platform.cc) and POSIX (posix/posix_platform.cc)
// each implement it; tests wrap a real one to make single calls fail.
//
// The seam is narrow: files and the destination folder are objects that the
// platform hands out open (closed on destruction), and the methods of
// Platform itself are the operations with no open file or folder to act on.
//
// Paths and texts are byte strings in the system's ANSI code page. Error
// codes are Win32 codes on every system: the POSIX layer maps errno to the
// Win32 code of the same meaning, so logs and reports read the same.
#ifndef STASHWELL_PLATFORM_PLATFORM_H_
#define STASHWELL_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date_time.h"
#include "platform/path_syntax.h"

namespace stashwell {

// Win32 error codes the program names itself.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
// Not the system's own: a file viewed in memory was cut short under the
// view, so the bytes it showed past the new end were not the file's.
inline constexpr uint32_t kErrorReadBeyondEnd = 100;
inline constexpr uint32_t kErrorFilenameTooLong = 206;

// File attribute bits, as Win32 numbers them.
inline constexpr uint32_t kAttrReadOnly = 1;
inline constexpr uint32_t kAttrHidden = 2;
inline constexpr uint32_t kAttrSystem = 4;
inline constexpr uint32_t kAttrVolume = 8;
inline constexpr uint32_t kAttrDirectory = 16;
inline constexpr uint32_t kAttrArchive = 32;

// One entry of a wildcard search.
struct SearchEntry {
  std::string name;         // file name only, no folder
  uint32_t attributes = 0;  // kAttr* bits
  // The last write as a local date and time, milliseconds included;
  // nothing when the system cannot convert it.
  std::optional<DateTimeFields> last_write;
};

// Which file a name leads to on its disk: volume and file index on
// Windows, device and inode on POSIX. Two names with one identity name
// one file.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// What the run learned of a file through the open that read it, so that a
// later deletion can prove that a name still leads to that very file,
// unchanged: which file it is, its size, and the stamps the system moves
// when its bytes, attributes or names change. A file ID alone proves
// nothing once time has passed: ext4 hands a freed inode number to the
// next file made, FAT and exFAT derive IDs from directory positions. Times
// are in the system's own units; a stamp the system does not keep is 0.
struct FileProof {
  FileId id;
  uint64_t size = 0;
  int64_t write_time = 0;   // last write of the bytes
  int64_t change_time = 0;  // last change of bytes, attributes or names
  int64_t birth_time = 0;   // creation
  friend bool operator==(const FileProof&, const FileProof&) = default;
};

// What a copy read and what it made: the source as the copy found it (the
// same before and after its bytes were read) and the new file under its
// final name. Nothing where the system could not tell.
struct CopyReceipt {
  std::optional<FileProof> source;
  std::optional<FileProof> copy;
};

// How a deletion that must prove its file ended.
enum class Removal {
  kRemoved,    // the name led to that file, unchanged, and is gone
  kNotProven,  // the name leads to another file, a changed one, or none
  kRefused,    // the file is the one, but the system refused to delete it
};

// What a path names, as far as the program is concerned.
enum class PathKind {
  kMissing,  // nothing, or a spelling that names nothing (a wildcard)
  kFile,     // a regular file on a disk (links followed)
  kFolder,   // a folder
  // Something else holds the name: a device, FIFO, socket or named pipe, a
  // Windows device name, a generated file, a link that leads nowhere.
  kOther,
  // The system will not tell: a folder on the way may not be entered, or
  // the disk or the network fails. Not the same as missing.
  kUnreachable,
};

// What the program opens a file for. Each use carries its own sharing
// rules, which the platforms keep as Windows' share modes do.
enum class FileUse {
  // The run log: created or cut to zero, written; others may only read,
  // and nobody may delete it while it is open.
  kLog,
  // The message file: an existing file, read; others may only read, and
  // nobody may delete it while it is open.
  kMessage,
  // A file being compared: an existing file, read; others may read, write
  // and delete it meanwhile.
  kComparison,
};

// An open file. It is closed when the object goes (without a check, as
// when a failure unwinds the run); Close closes it with one.
class File {
 public:
  virtual ~File() = default;

  // Reads up to size bytes; *count gets what was read, 0 at the end.
  virtual uint32_t Read(void* buffer, size_t size, size_t* count) = 0;
  // The file's bytes from offset (a multiple of 64 KiB) on, up to most of
  // them, shown in memory instead of copied: *bytes holds them until the
  // next View or Close, and is empty at the end of the file. The view
  // before is let go first; when the file was cut short under it, the
  // answer is kErrorReadBeyondEnd. Reads and views keep no common
  // position. kErrorNotSupported where the file cannot be viewed: it is
  // read instead. By default no file can be.
  virtual uint32_t View(uint64_t /*offset*/, size_t /*most*/,
                        std::string_view* /*bytes*/) {
    return kErrorNotSupported;
  }
  // Whether views of the file from offset on cost clearly less than reads
  // of it, as a trial stretch there shows on this system (on some, a page
  // fault costs more than copying its page). By default no.
  virtual bool ViewPays(uint64_t /*offset*/) { return false; }
  // Writes all size bytes or fails.
  virtual uint32_t Write(const void* data, size_t size) = 0;
  virtual uint32_t Size(uint64_t* size) = 0;
  // The file's identity, learned when it was opened.
  virtual std::optional<FileId> Identity() = 0;
  // The file's size and stamps as they are now, through this open.
  virtual std::optional<FileProof> Proof() = 0;
  // Makes the file's bytes durable. 0 or a Win32 code.
  virtual uint32_t Flush() = 0;
  // Deletes the name path while it still leads to this open file (no link
  // followed); the file stays open until Close. True when the name is
  // gone. Only the run log, which no one else may delete while it is
  // open, can be deleted this way.
  virtual bool RemoveName(const std::string& path) = 0;
  // Closes the file; the object may only be destroyed afterwards.
  virtual uint32_t Close() = 0;
};

class CopyPrimitives;

// A folder the run places files in, opened once and kept open: every name
// given to it is a file name without a folder part, taken in the folder
// that was opened. Closed when the object goes.
class Folder {
 public:
  virtual ~Folder() = default;

  // What name names in this folder, as Platform::Examine tells it for a
  // path.
  virtual PathKind Examine(const std::string& name) = 0;
  // Copies source to a new file name in this folder, never replacing
  // anything there. 0 when copied, else the Win32 error code; a partial
  // copy is removed. The copy's bytes are on the disk before it gets the
  // name; the name itself is on the disk once Flush has returned. A source
  // that changes while it is read is not published (32). *receipt gets
  // what was read and made. Runs the one copy protocol (CopyNoReplace,
  // copy_protocol.h) on this folder's primitives. No system's folder
  // overrides it; a folder that stands for another (the run's destination,
  // the tests' wrapper) hands the copy on, or watches or breaks it whole.
  virtual uint32_t CopyIn(const std::string& source, const std::string& name,
                          CopyReceipt* receipt);
  // The primitives of one copy into this folder, on this system.
  virtual std::unique_ptr<CopyPrimitives> StartCopy() = 0;
  // The size and stamps of the regular file name names here, no link
  // followed; nothing for anything else.
  virtual std::optional<FileProof> ProofOf(const std::string& name) = 0;
  // The names of the plain files here (no folder, link, special or system
  // file) that begin with prefix and end with suffix, byte for byte, from
  // one listing of the folder: names only, no entry looked up on its own.
  virtual std::vector<std::string> PlainFileNames(std::string_view prefix,
                                                  std::string_view suffix) = 0;
  // Roughly how many lookups of one name (Examine) cost as much as one
  // listing (PlainFileNames) of this folder as it stands, at least 1: a
  // listing costs more the more entries the folder holds, a lookup does
  // not. Tells nothing of the entries; costs at most one system call.
  virtual uint32_t ListingCostInLookups() = 0;
  // Makes the names CopyIn has given so far durable. 0 or a Win32 code.
  virtual uint32_t Flush() = 0;
};

// The process command line as the OS hands it over: Windows gives one text
// that the program splits by its own rules, POSIX gives argv already split.
struct CommandLine {
  bool is_text = false;
  std::string text;               // whole command line (Windows)
  std::vector<std::string> argv;  // arguments after the program (POSIX)
};

// The user's regional date and time settings.
struct LocaleFormats {
  // ISO 639 code of the locale's language ("ja", "de", ...); empty when
  // unknown.
  std::string language;
  std::string short_date = "m/d/yy";  // picture: d dd ddd dddd m mm ... yyyy
  std::string date_separator = "/";
  std::string time_separator = ":";
  bool hour_leading_zero = false;
  bool twelve_hour = false;
  bool marker_before_time = false;
  std::string am = "am";
  std::string pm = "pm";
  std::string short_month[12];
  std::string long_month[12];
  std::string short_day[7];  // Sunday first
  std::string long_day[7];
};

// The two kinds of message box that only tell: the usage warning and the
// error report.
enum class Notice { kWarning, kError };

class Platform {
 public:
  virtual ~Platform() = default;

  // Path syntax and code page of this system.
  virtual const PathSyntax& Syntax() = 0;

  // Files and folders.
  // What path names. Never matches wildcards; a file's dates play no part.
  // For kUnreachable, *code (where given) gets the system's reason as a
  // Win32 code.
  virtual PathKind Examine(const std::string& path, uint32_t* code) = 0;
  PathKind Examine(const std::string& path) { return Examine(path, nullptr); }
  // The identity of the file or folder path names (links followed).
  virtual std::optional<FileId> IdentityOf(const std::string& path) = 0;
  // Opens path for use; 0 and *file set, or a Win32 error code. Only a
  // file on a disk opens: anything else is missing (2) or refused (5).
  virtual uint32_t Open(const std::string& path, FileUse use,
                        std::unique_ptr<File>* file) = 0;
  // Deletes one file, or a link's own name (what it leads to stays); true
  // when it is gone. Refuses folders, devices, FIFOs and sockets, read-only
  // files and files open for a use that shares no deletion.
  virtual bool RemoveFile(const std::string& path) = 0;
  // Deletes path only while it leads, no link followed, to the file of
  // that proof with nothing changed: a file the run read, whose name
  // someone may have given to another file meanwhile, or whose bytes
  // someone may have changed since. Refuses as RemoveFile does.
  virtual Removal RemoveProvenFile(const std::string& path,
                                   const FileProof& proof) = 0;
  // Opens the folder path names (links followed) for placing files in it;
  // 0 and *folder set, or a Win32 error code.
  virtual uint32_t OpenFolder(const std::string& path,
                              std::unique_ptr<Folder>* folder) = 0;
  // Entries matching mask (wildcards "*" and "?" in its last component).
  // Entries with hidden, system, volume or directory bits outside
  // `attributes` are skipped.
  virtual std::vector<SearchEntry> FindMatching(const std::string& mask,
                                                uint32_t attributes) = 0;

  // Clock and regional settings.
  virtual DayCount LocalNow() = 0;
  virtual LocaleFormats ReadLocaleFormats() = 0;

  // The user. Message boxes have no owner window.
  virtual bool AskYesNo(const std::string& text,
                        const std::string& caption) = 0;
  virtual void Tell(Notice notice, const std::string& text,
                    const std::string& caption) = 0;
  // Opens path with the program the desktop associates with it; no wait.
  virtual void OpenWithShell(const std::string& path) = 0;

  // The process.
  virtual CommandLine ReadCommandLine() = 0;
  // File name of the running program, without its folder.
  virtual std::string ProgramFileName() = 0;
  // Offset of a code address from the program's load address.
  virtual uintptr_t CodeOffset(const void* address) = 0;

  // The questions the program asks most, in its own words.
  bool IsExistingFile(const std::string& path) {
    return Examine(path) == PathKind::kFile;
  }
  bool IsExistingDirectory(const std::string& path) {
    return Examine(path) == PathKind::kFolder;
  }
};

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_PLATFORM_H_
