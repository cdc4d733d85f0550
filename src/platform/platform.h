// The operating-system seam. Every call the program makes to the OS goes
// through one Platform object, built in the entry and passed down by
// reference. Windows (win32_platform.cc) and POSIX (posix_platform.cc) each
// implement it; tests wrap a real one to make single calls fail.
//
// Paths and texts are byte strings in the system's ANSI code page. Error
// codes are Win32 codes on every system: the POSIX layer maps errno to the
// Win32 code of the same meaning, so logs and reports read the same.
#ifndef STASHWELL_PLATFORM_PLATFORM_H_
#define STASHWELL_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <string>
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
inline constexpr uint32_t kErrorHandleDiskFull = 39;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorAlreadyExists = 183;
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
  std::string name;           // file name only, no folder
  uint32_t size = 0;          // low 32 bits of the length
  uint32_t attributes = 0;    // kAttr* bits
  uint32_t packed_time = 0;   // last write, MS-DOS packed local time
  bool time_packable = true;  // false when the local time is outside 1980-2107
  DayCount write_time = 0;    // last write as a local DayCount, always set
};

// An open file of the platform. Valid only between a successful open and
// Close.
using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

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

class Platform {
 public:
  virtual ~Platform() = default;

  // Path syntax and code page of this system.
  virtual const PathSyntax& Syntax() = 0;

  // True when path names an existing file that is no folder. Never matches
  // wildcards; the file's dates play no part.
  virtual bool IsExistingFile(const std::string& path) = 0;
  // True when path names an existing folder.
  virtual bool IsExistingDirectory(const std::string& path) = 0;
  // Deletes one file; true when it is gone. Refuses read-only files.
  virtual bool RemoveFile(const std::string& path) = 0;
  // Copies source to destination, never replacing an existing file. 0 when
  // copied, else the Win32 error code; a partial copy is removed.
  virtual uint32_t CopyFileNoReplace(const std::string& source,
                                     const std::string& destination) = 0;
  // Entries matching mask (wildcards "*" and "?" in its last component).
  // Entries with hidden, system, volume or directory bits outside
  // `attributes` are skipped.
  virtual std::vector<SearchEntry> FindMatching(const std::string& mask,
                                                uint32_t attributes) = 0;
  // True when both paths name one existing file on disk (same volume and
  // file index, or device and inode).
  virtual bool IsSameFile(const std::string& first,
                          const std::string& second) = 0;

  // Text and block files. Each returns 0 or a Win32 error code.
  // Created or cut to zero, write access, others may only read.
  virtual uint32_t OpenForWrite(const std::string& path, FileHandle* file) = 0;
  // Existing file, read access, others may only read.
  virtual uint32_t OpenForRead(const std::string& path, FileHandle* file) = 0;
  // Existing file, read access, others may read, write and delete.
  virtual uint32_t OpenShared(const std::string& path, FileHandle* file) = 0;
  // Reads up to size bytes; *count gets what was read, 0 at the end.
  virtual uint32_t Read(FileHandle file, void* buffer, size_t size,
                        size_t* count) = 0;
  // Writes all size bytes or fails.
  virtual uint32_t Write(FileHandle file, const void* data, size_t size) = 0;
  virtual uint32_t Size(FileHandle file, uint64_t* size) = 0;
  virtual uint32_t Close(FileHandle file) = 0;

  // Clock and regional settings.
  virtual DayCount LocalNow() = 0;
  virtual LocaleFormats ReadLocaleFormats() = 0;

  // The user. Message boxes have no owner window.
  virtual bool AskYesNo(const std::string& text,
                        const std::string& caption) = 0;
  virtual void ShowWarning(const std::string& text,
                           const std::string& caption) = 0;
  virtual void ShowError(const std::string& text,
                         const std::string& caption) = 0;
  // Opens path with the program the desktop associates with it; no wait.
  virtual void OpenWithShell(const std::string& path) = 0;

  // The process.
  virtual CommandLine ReadCommandLine() = 0;
  // File name of the running program, without its folder.
  virtual std::string ProgramFileName() = 0;
  // Offset of a code address from the program's load address.
  virtual uintptr_t CodeOffset(const void* address) = 0;
};

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_PLATFORM_H_
