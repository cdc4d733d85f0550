// The Platform on Windows, through the ANSI entry points: paths and texts
// are byte strings in the system's ANSI code page, message boxes have no
// owner window. The ...A functions are called by name, since <windows.h>
// turns the plain names (CopyFile, DeleteFile, MessageBox, ...) into macros.
#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/copy_protocol.h"
#include "platform/file_rules.h"
#include "platform/page_buffer.h"
#include "platform/system_platform.h"
#include "platform/win32/win32_locale.h"
#include "platform/windows_names.h"

namespace stashwell {
namespace {

// The local calendar fields of a file time in UTC; false when Windows
// cannot convert it.
bool ToLocalTime(const FILETIME& utc, SYSTEMTIME* fields) {
  FILETIME local;
  return FileTimeToLocalFileTime(&utc, &local) &&
         FileTimeToSystemTime(&local, fields);
}

DateTimeFields ToFields(const SYSTEMTIME& time) {
  DateTimeFields fields;
  fields.year = time.wYear;
  fields.month = time.wMonth;
  fields.day = time.wDay;
  fields.hour = time.wHour;
  fields.minute = time.wMinute;
  fields.second = time.wSecond;
  fields.millisecond = time.wMilliseconds;
  fields.day_of_week = time.wDayOfWeek;
  return fields;
}

SearchEntry ToSearchEntry(const WIN32_FIND_DATAA& found) {
  SearchEntry entry;
  entry.name = found.cFileName;
  entry.attributes = found.dwFileAttributes;
  SYSTEMTIME fields;
  if (ToLocalTime(found.ftLastWriteTime, &fields)) {
    entry.last_write = ToFields(fields);
  }
  return entry;
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {
      info.dwVolumeSerialNumber,
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

int64_t Ticks(const LARGE_INTEGER& time) {
  return static_cast<int64_t>(time.QuadPart);
}

// The proof of the plain file handle is open on: no folder, no reparse
// point (a link opened as itself).
std::optional<FileProof> ProofOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle(handle, &info) ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic,
                                    sizeof basic) ||
      (info.dwFileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return std::nullopt;
  }
  FileProof proof;
  proof.id = IdOf(info);
  proof.size =
      (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  proof.write_time = Ticks(basic.LastWriteTime);
  proof.change_time = Ticks(basic.ChangeTime);
  proof.birth_time = Ticks(basic.CreationTime);
  return proof;
}

// The name path opened as itself (a link or junction is not followed),
// for looking at it and, with DELETE, for deleting it through the handle.
HANDLE OpenNameItself(const std::string& path, DWORD access) {
  return CreateFileA(path.c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// The proof of the plain file the name path holds, no link followed.
std::optional<FileProof> ProofOfName(const std::string& path) {
  HANDLE handle = OpenNameItself(path, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::optional<FileProof> proof = ProofOfHandle(handle);
  CloseHandle(handle);
  return proof;
}

// Marks the file of handle for deletion when its last handle closes.
bool DeleteThroughHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

// An open file handle; closed when the object goes.
class Win32File : public File {
 public:
  explicit Win32File(HANDLE handle, bool removable = false)
      : handle_(handle), removable_(removable) {}
  ~Win32File() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  HANDLE handle() const { return handle_; }

  uint32_t Read(void* buffer, size_t size, size_t* count) override {
    const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(handle_, buffer, wanted, &got, nullptr)) {
      *count = 0;
      return GetLastError();
    }
    *count = got;
    return 0;
  }

  uint32_t Write(const void* data, size_t size) override {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(handle_, next, chunk, &written, nullptr)) {
        return GetLastError();
      }
      // A write that takes nothing would loop forever: the disk is full.
      if (written == 0) return kErrorDiskFull;
      next += written;
      size -= written;
    }
    return 0;
  }

  uint32_t Size(uint64_t* size) override {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(handle_, &length)) return GetLastError();
    *size = static_cast<uint64_t>(length.QuadPart);
    return 0;
  }

  std::optional<FileId> Identity() override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_, &info)) return std::nullopt;
    return IdOf(info);
  }

  std::optional<FileProof> Proof() override { return ProofOfHandle(handle_); }

  // A handle opened for reading alone cannot flush: the file is opened
  // again for writing, as the flush needs. A read-only file cannot be:
  // its bytes were written before it was marked read-only, and a copy
  // marks its file so only after flushing it.
  uint32_t Flush() override {
    if (FlushFileBuffers(handle_)) return 0;
    if (GetLastError() != ERROR_ACCESS_DENIED) return GetLastError();
    HANDLE writable =
        ReOpenFile(handle_, GENERIC_WRITE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (writable == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      BY_HANDLE_FILE_INFORMATION info;
      if (code == ERROR_ACCESS_DENIED &&
          GetFileInformationByHandle(handle_, &info) &&
          (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return 0;
      }
      return code;
    }
    const uint32_t code = FlushFileBuffers(writable) ? 0 : GetLastError();
    CloseHandle(writable);
    return code;
  }

  // Deleted through this very handle: the log was opened with the right
  // to delete it, so no file given the name by another program can go in
  // its place.
  bool RemoveName(const std::string&) override {
    return removable_ && DeleteThroughHandle(handle_);
  }

  uint32_t Close() override {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) ? 0 : GetLastError();
  }

 private:
  HANDLE handle_;
  bool removable_;
};

// What a handle opened on a name itself is open on: a disk file, a folder,
// a reparse point (a link opened as itself), or anything special (a
// console, a pipe, a port).
Found FoundOfHandle(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return Found::kSpecial;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return Found::kDiskFile;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Found::kLink;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Found::kFolder;
  }
  return Found::kDiskFile;
}

// The code with which an open for use fails that Windows refused with
// code: a folder is refused by the rule that refuses it everywhere (Windows
// says the same), everything else as Windows says.
uint32_t OpenFailure(const std::string& path, FileUse use, DWORD code) {
  if (code == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return OpenRefusal(use, Found::kFolder);
    }
  }
  return code;
}

// Opens path for a reading use (links followed; the copy reads its source
// as a comparison does). Only files on a disk are files here: a console, a
// pipe or a port that a path reached anyway is refused as the rule says for
// the use.
uint32_t OpenHandle(const std::string& path, DWORD access, DWORD share,
                    DWORD disposition, std::unique_ptr<File>* file,
                    FileUse use) {
  HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return OpenFailure(path, use, GetLastError());
  }
  // Opened with links followed and without backup semantics, which no
  // folder opens without: the handle's type alone tells a disk file from
  // anything special.
  const Found found = GetFileType(handle) == FILE_TYPE_DISK ? Found::kDiskFile
                                                            : Found::kSpecial;
  if (const uint32_t refused = OpenRefusal(use, found)) {
    CloseHandle(handle);
    return refused;
  }
  *file = std::make_unique<Win32File>(handle);
  return 0;
}

// Copies in from its current position to its end into out. 0 or a Win32
// code.
uint32_t CopyBytes(HANDLE in, HANDLE out) {
  constexpr DWORD kBlock = 1 << 20;
  const PageBuffer block = MakePageBuffer(kBlock);
  const std::span<char> buffer(block.get(), kBlock);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), kBlock, &got, nullptr)) {
      return GetLastError();
    }
    if (got == 0) return 0;
    DWORD written = 0;
    if (!WriteFile(out, buffer.data(), got, &written, nullptr)) {
      return GetLastError();
    }
    if (written != got) return ERROR_DISK_FULL;
  }
}

// The form of path that Windows takes beyond MAX_PATH characters: the
// full path behind the "\\?\" prefix.
std::string LongPathForm(const std::string& path) {
  const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::string full(needed, '\0');
  const DWORD length =
      GetFullPathNameA(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.starts_with("\\\\")) {
    if (full.starts_with(kLongPathPrefix) || full.starts_with(kDevicePrefix)) {
      return full;
    }
    return std::string(kLongPathPrefix) + "UNC\\" + full.substr(2);
  }
  return std::string(kLongPathPrefix) + full;
}

// True while the process of that number lives (or is one the run may not
// look at, which lives all the same).
bool ProcessLives(uint64_t process) {
  if (process == 0 || process > MAXDWORD) return false;
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process));
  if (handle == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool lives = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
  CloseHandle(handle);
  return lives;
}

// The path of a file or folder that may lie beyond MAX_PATH.
std::string Reachable(const std::string& path, size_t room) {
  return path.size() + room >= MAX_PATH ? LongPathForm(path) : path;
}

// Removes from the program's own folder own (with its final separator) the
// temporary files of runs that no longer live. A file still open in a live
// run is shared with no one, so its deletion would fail anyway; the
// process test also keeps the file that a live run has closed and is about
// to publish. No attachment is ever placed in this folder.
void RemoveLeftovers(const std::string& own) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(Reachable(own + "*", 0).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::optional<uint64_t> process =
        TemporaryNameProcess(found.cFileName);
    if (!process || ProcessLives(*process)) continue;
    const std::string path = Reachable(own + found.cFileName, 0);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// True when the program's own folder at path (without its final
// separator) may be used: a real folder, no reparse point (a junction or
// link would lead the copy, the sweep and the removal elsewhere).
bool IsUsableOwnFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Removes the program's own folder at path when it is empty, never a
// reparse point that stands in its place.
void RemoveOwnFolderIfEmpty(const std::string& path) {
  if (IsUsableOwnFolder(path)) RemoveDirectoryA(path.c_str());
}

// Creates a new file of the program's own in the first usable own folder
// of folder (with its final separator), made when missing, opened for
// writing and shared with no one: ".stashwell\.stashwell-<process>-<n>.tmp".
// *path gets the file's path, *own that folder's.
HANDLE CreateTemporary(const std::string& folder, std::string* path,
                       std::string* own) {
  // Another run may remove the folder when it finds it empty, between its
  // creation here and the file's: then it is made again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    bool raced = false;
    for (const char* own_name : kOwnFolders) {
      *own = Reachable(folder + own_name, 12);
      if (CreateDirectoryA(own->c_str(), nullptr)) {
        SetFileAttributesA(own->c_str(), FILE_ATTRIBUTE_HIDDEN);
      } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
        return INVALID_HANDLE_VALUE;
      }
      if (!IsUsableOwnFolder(*own)) continue;
      DWORD code = ERROR_FILE_EXISTS;
      for (int n = 0; n < 1000; ++n) {
        // The destination fits where its temporary name would not: the
        // long form lifts the limit.
        *path = Reachable(
            folder + own_name + "\\" + TemporaryName(GetCurrentProcessId(), n),
            0);
        HANDLE out = CreateFileA(
            path->c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
            CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN,
            nullptr);
        if (out != INVALID_HANDLE_VALUE) return out;
        code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
      }
      if (code != ERROR_PATH_NOT_FOUND && code != ERROR_FILE_NOT_FOUND) {
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
      }
      raced = true;
      break;
    }
    if (!raced) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  SetLastError(ERROR_PATH_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

// What stands at path, as far as it can be told without opening anything.
// A wildcard would let the search pick some other file; such a path names
// nothing. A device name names a device, never a file: "con" is the
// console, "aux" may be a serial port whose open never returns, so it is
// known by its spelling alone.
Found FoundBySpelling(const std::string& path, const PathSyntax& syntax) {
  if (HasWildcard(path)) return Found::kNothing;
  return NamesNoDiskFile(path, syntax) ? Found::kSpecial : Found::kDiskFile;
}

PathKind ExaminePath(const std::string& path, const PathSyntax& syntax,
                     uint32_t* code) {
  if (const Found found = FoundBySpelling(path, syntax);
      found != Found::kDiskFile) {
    return KindOf(found);
  }
  // A file is what a search finds; a folder (a drive's root among them,
  // which no search finds) is what the attributes say.
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return KindOf(Found::kDiskFile);
    }
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Only a refusal says something may be there; every other failure
    // (no such file, folder, drive or share, a name Windows refuses)
    // names nothing.
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION &&
        error != ERROR_NOT_READY && error != ERROR_NETWORK_ACCESS_DENIED) {
      return KindOf(Found::kNothing);
    }
    if (code != nullptr) *code = error;
    return KindOf(Found::kUnreachable);
  }
  return KindOf((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Found::kFolder
                                                             : Found::kSpecial);
}

// The primitives of one copy into the folder whose path (with its final
// separator) is folder. The bytes go into a hidden temporary file of the
// program's own folder there that no one else may open, which then gets
// the destination name by a rename that fails when the name is taken.
// Windows has no unnamed files, and the rename is the one publication.
class Win32Copy : public CopyPrimitives {
 public:
  explicit Win32Copy(std::string folder) : folder_(std::move(folder)) {}
  ~Win32Copy() override { EndStaging(); }
  Win32Copy(const Win32Copy&) = delete;
  Win32Copy& operator=(const Win32Copy&) = delete;

  uint32_t OpenSource(const std::string& source, FileProof* read) override {
    // Shared as the system's own copy shares its source; like every open,
    // it refuses anything that is not a file on a disk.
    const uint32_t code =
        OpenHandle(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   OPEN_EXISTING, &source_, FileUse::kComparison);
    if (code != 0) return code;
    in_ = static_cast<Win32File&>(*source_).handle();
    if (!GetFileInformationByHandle(in_, &info_)) return GetLastError();
    const std::optional<FileProof> proof = ProofOfHandle(in_);
    if (!proof) return ERROR_ACCESS_DENIED;
    *read = *proof;
    return 0;
  }
  std::optional<FileProof> SourceProof() override { return ProofOfHandle(in_); }
  bool IsTaken(const std::string& name) override {
    return GetFileAttributesA(PathOf(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  void RemoveLeftovers() override {
    for (const char* own_name : kOwnFolders) {
      const std::string own = Reachable(folder_ + own_name, 0);
      if (!IsUsableOwnFolder(own)) continue;
      stashwell::RemoveLeftovers(own + "\\");
      RemoveDirectoryA(own.c_str());
    }
  }

  uint32_t StageNamed() override {
    out_ = CreateTemporary(folder_, &temporary_, &own_);
    if (out_ == INVALID_HANDLE_VALUE) {
      temporary_.clear();
      return GetLastError();
    }
    return 0;
  }
  uint32_t CopyBytes() override { return stashwell::CopyBytes(in_, out_); }
  // The time and the source's attributes (read-only among them) replace the
  // temporary hidden one, through the handle: the file is shared with no
  // one, so no call by its name could reach it.
  uint32_t KeepMetadata() override {
    if (!SetFileTime(out_, nullptr, nullptr, &info_.ftLastWriteTime)) {
      return GetLastError();
    }
    const DWORD kept = info_.dwFileAttributes &
                       (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                        FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(out_, FileBasicInfo, &basic,
                                    sizeof basic)) {
      return GetLastError();
    }
    return 0;
  }
  uint32_t SyncStaged() override {
    return FlushFileBuffers(out_) ? 0 : GetLastError();
  }
  // Closed first, since a file no one may share cannot be renamed; the
  // rename is written through, so it returns only once the new name is on
  // the disk.
  std::optional<uint32_t> PublishByRename(const std::string& name) override {
    made_ = ProofOfHandle(out_);
    if (const uint32_t code = CloseStaged()) return code;
    if (!MoveFileExA(temporary_.c_str(), PathOf(name).c_str(),
                     MOVEFILE_WRITE_THROUGH)) {
      const DWORD code = GetLastError();
      // The rename names a taken destination "already exists"; the copy
      // reports it as a file that exists, as a copy that refuses to
      // overwrite does.
      return code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code;
    }
    published_ = true;
    return 0;
  }

  std::optional<FileProof> StagedProof() override {
    return out_ != INVALID_HANDLE_VALUE ? ProofOfHandle(out_) : made_;
  }
  uint32_t CloseStaged() override {
    if (out_ == INVALID_HANDLE_VALUE) return 0;
    const HANDLE out = std::exchange(out_, INVALID_HANDLE_VALUE);
    return CloseHandle(out) ? 0 : GetLastError();
  }
  void EndStaging() override {
    CloseStaged();
    if (temporary_.empty()) return;
    if (!published_) {
      SetFileAttributesA(temporary_.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(temporary_.c_str());
    }
    RemoveOwnFolderIfEmpty(own_);
    temporary_.clear();
    published_ = false;
  }
  std::optional<FileProof> ProofOfName(const std::string& name) override {
    return stashwell::ProofOfName(PathOf(name));
  }
  void RemoveName(const std::string& name) override {
    DeleteFileA(PathOf(name).c_str());
  }

 private:
  std::string PathOf(const std::string& name) const { return folder_ + name; }

  std::string folder_;
  std::unique_ptr<File> source_;
  HANDLE in_ = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info_ = {};
  HANDLE out_ = INVALID_HANDLE_VALUE;
  std::string temporary_;
  std::string own_;
  std::optional<FileProof> made_;
  bool published_ = false;
};

// A destination folder: its path, to which each name is joined as the run
// joins it for the log. No handle is kept: every name is reached through
// the folder's path, as the system's own calls take it.
class Win32Folder : public Folder {
 public:
  Win32Folder(std::string path, const PathSyntax& syntax)
      : path_(std::move(path)), syntax_(syntax) {}

  PathKind Examine(const std::string& name) override {
    return ExaminePath(PathOf(name), syntax_, nullptr);
  }
  std::unique_ptr<CopyPrimitives> StartCopy() override {
    return std::make_unique<Win32Copy>(path_ + syntax_.separator);
  }
  std::optional<FileProof> ProofOf(const std::string& name) override {
    const std::string path = PathOf(name);
    if (HasWildcard(path) || NamesNoDiskFile(path, syntax_)) {
      return std::nullopt;
    }
    return ProofOfName(path);
  }
  // One search with the basic information (no short names) and large
  // fetches; the attributes come with the entries. Folders, reparse points
  // (links), devices and system files are no plain files.
  std::vector<std::string> PlainFileNames(std::string_view prefix,
                                          std::string_view suffix) override {
    std::vector<std::string> names;
    const std::string mask =
        PathOf(std::string(prefix) + "*" + std::string(suffix));
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileExA(mask.c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE &&
        GetLastError() == ERROR_INVALID_PARAMETER) {
      // A system older than Windows 7 knows neither.
      search = FindFirstFileExA(mask.c_str(), FindExInfoStandard, &found,
                                FindExSearchNameMatch, nullptr, 0);
    }
    if (search == INVALID_HANDLE_VALUE) return names;
    constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY |
                                FILE_ATTRIBUTE_REPARSE_POINT |
                                FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_SYSTEM;
    do {
      // The search ignores letter case and may match by a short name: only
      // the names that begin and end as asked, byte for byte, are kept.
      const std::string_view name = found.cFileName;
      if ((found.dwFileAttributes & kNotPlain) == 0 &&
          name.size() >= prefix.size() + suffix.size() &&
          name.starts_with(prefix) && name.ends_with(suffix)) {
        names.emplace_back(name);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
  }
  // No handle is kept, and Windows tells how many entries a folder holds
  // only by listing it: a listing is taken to cost as much as 64 lookups,
  // a bound on what a search spends before it lists, however large the
  // folder (each lookup resolves the folder's whole path anew).
  uint32_t ListingCostInLookups() override { return 64; }
  // Nothing to do: every name is given by MoveFileExA with
  // MOVEFILE_WRITE_THROUGH, which returns only once the rename is on the
  // disk.
  uint32_t Flush() override { return 0; }

 private:
  std::string PathOf(const std::string& name) const {
    return path_ + syntax_.separator + name;
  }

  std::string path_;
  const PathSyntax& syntax_;
};

class Win32Platform : public Platform {
 public:
  Win32Platform() {
    for (int b = 0; b < 256; ++b) {
      syntax_.lead_byte[b] = IsDBCSLeadByte(static_cast<BYTE>(b)) != 0;
    }
  }

  const PathSyntax& Syntax() override { return syntax_; }

  PathKind Examine(const std::string& path, uint32_t* code) override {
    return ExaminePath(path, syntax_, code);
  }

  std::optional<FileId> IdentityOf(const std::string& path) override {
    // A device name is never opened, whatever asks: opening "COM1" can
    // block.
    if (HasWildcard(path) || NamesNoDiskFile(path, syntax_)) {
      return std::nullopt;
    }
    HANDLE handle = CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    Win32File file(handle);
    return file.Identity();
  }

  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    // A device name is never opened, whatever the use: opening "COM1" can
    // block.
    if (const Found found = FoundBySpelling(path, syntax_);
        found == Found::kSpecial) {
      return OpenRefusal(use, found);
    }
    switch (use) {
      case FileUse::kLog: {
        // Windows refuses to replace a read-only file; wine run by root
        // does not, so the rule is applied here as well.
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes &
             (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
                FILE_ATTRIBUTE_READONLY) {
          return ERROR_ACCESS_DENIED;
        }
        return OpenLog(path, file);
      }
      case FileUse::kMessage:
        return OpenHandle(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                          file, use);
      case FileUse::kComparison:
        return OpenHandle(
            path, GENERIC_READ,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            OPEN_EXISTING, file, use);
    }
    return ERROR_INVALID_PARAMETER;
  }

  // What stands at the name decides first (MayRemove): a link goes as a
  // name, a folder or a device stays. The read-only attribute refuses the
  // deletion of a file by Windows' own rule.
  bool RemoveFile(const std::string& path) override {
    Found found = FoundBySpelling(path, syntax_);
    if (found == Found::kDiskFile) {
      const DWORD attributes = GetFileAttributesA(path.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) return false;
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        found = Found::kLink;
      } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        found = Found::kFolder;
      }
    }
    if (!MayRemove(found)) return false;
    // Wine reports success before the host system has removed the file,
    // and the removal can still fail there (an immutable file); the file
    // must be gone for the deletion to count.
    return DeleteFileA(path.c_str()) &&
           GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  }

  // The name is opened as itself (a reparse point is not followed), its
  // proof compared, and the file deleted through that very handle: no
  // other file given the name meanwhile can be deleted in its place.
  Removal RemoveProvenFile(const std::string& path,
                           const FileProof& proof) override {
    if (HasWildcard(path) || NamesNoDiskFile(path, syntax_)) {
      return Removal::kNotProven;
    }
    HANDLE handle = OpenNameItself(path, DELETE | FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) {
      // A file the run may not delete can still be the one.
      return ProofOfName(path) == proof ? Removal::kRefused
                                        : Removal::kNotProven;
    }
    Win32File file(handle);
    if (ProofOfHandle(handle) != proof) return Removal::kNotProven;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ||
        !DeleteThroughHandle(handle)) {
      return Removal::kRefused;
    }
    file.Close();
    // As for RemoveFile: the name must be gone, or hold another file.
    return IdentityOf(path) != proof.id ? Removal::kRemoved : Removal::kRefused;
  }

  uint32_t OpenFolder(const std::string& path,
                      std::unique_ptr<Folder>* folder) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD code = GetLastError();
      // A missing folder is "path not found", as a copy into it reports.
      return code == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : code;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return ERROR_PATH_NOT_FOUND;
    }
    *folder = std::make_unique<Win32Folder>(path, syntax_);
    return 0;
  }

  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override {
    std::vector<SearchEntry> entries;
    const uint32_t excluded =
        (kAttrHidden | kAttrSystem | kAttrVolume | kAttrDirectory) &
        ~attributes;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(mask.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
      if ((found.dwFileAttributes & excluded) == 0) {
        entries.push_back(ToSearchEntry(found));
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return entries;
  }

  DayCount LocalNow() override {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return EncodeDayCount(ToFields(now));
  }

  LocaleFormats ReadLocaleFormats() override {
    return ReadWin32LocaleFormats();
  }

  bool AskYesNo(const std::string& text, const std::string& caption) override {
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(),
                       MB_YESNO | MB_ICONQUESTION) == IDYES;
  }
  void Tell(Notice notice, const std::string& text,
            const std::string& caption) override {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(),
                notice == Notice::kWarning
                    ? MB_OK | MB_ICONWARNING
                    : MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  }

  void OpenWithShell(const std::string& path) override {
    // The result is of no use: a missing association is not reported.
    ShellExecuteA(nullptr, nullptr, path.c_str(), nullptr, nullptr,
                  SW_SHOWNORMAL);
  }

  CommandLine ReadCommandLine() override {
    CommandLine line;
    line.is_text = true;
    line.text = GetCommandLineA();
    return line;
  }

  std::string ProgramFileName() override {
    std::string path(MAX_PATH, '\0');
    for (;;) {
      const DWORD length = GetModuleFileNameA(nullptr, path.data(),
                                              static_cast<DWORD>(path.size()));
      if (length == 0) return "";
      // A full buffer may hold a cut name: try again with more room.
      if (length < path.size() || path.size() >= 32768) {
        path.resize(length);
        break;
      }
      path.resize(path.size() * 2);
    }
    return FileNamePart(path, syntax_);
  }

  uintptr_t CodeOffset(const void* address) override {
    return reinterpret_cast<uintptr_t>(address) -
           reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  }

 private:
  // What the log's open does with the name its handle holds, opened as
  // itself (TreatLogName).
  static LogName TreatmentOf(HANDLE handle, Found* found) {
    *found = FoundOfHandle(handle);
    BY_HANDLE_FILE_INFORMATION info;
    const uint64_t names =
        GetFileInformationByHandle(handle, &info) ? info.nNumberOfLinks : 0;
    return TreatLogName(*found, names);
  }

  // The log is the run's own file. Its path is opened without following a
  // reparse point, and what the name holds decides (TreatLogName): only a
  // disk file of its own with one name is written; a link or a second name
  // of another file at the log's path, which would otherwise make the run
  // cut to zero and fill a file that is not its log, is removed (what it
  // leads to is left alone) and the log made anew, exclusively; anything
  // else is refused.
  static uint32_t OpenLog(const std::string& path,
                          std::unique_ptr<File>* file) {
    constexpr DWORD kFlags =
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    // The right to delete lets the run delete an empty log through its own
    // handle, before it lets the file go.
    constexpr DWORD kAccess = GENERIC_WRITE | DELETE;
    // What CREATE_ALWAYS refuses, opening the file as it is does not: a
    // hidden or system file keeps its log refused, as before.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0 &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return ERROR_ACCESS_DENIED;
    }
    HANDLE handle = CreateFileA(path.c_str(), kAccess, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, kFlags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return OpenFailure(path, FileUse::kLog, GetLastError());
    }
    Found found;
    const LogName treatment = TreatmentOf(handle, &found);
    if (treatment == LogName::kRefuse) {
      CloseHandle(handle);
      return OpenRefusal(FileUse::kLog, found);
    }
    if (treatment == LogName::kReplace) {
      CloseHandle(handle);
      if (!DeleteFileA(path.c_str())) return GetLastError();
      handle = CreateFileA(path.c_str(), kAccess, FILE_SHARE_READ, nullptr,
                           CREATE_NEW, kFlags, nullptr);
      if (handle == INVALID_HANDLE_VALUE) return GetLastError();
      if (TreatmentOf(handle, &found) != LogName::kWrite) {
        CloseHandle(handle);
        return OpenRefusal(FileUse::kLog, Found::kSpecial);
      }
    }
    // Opened at its start: this cuts an earlier log to zero.
    if (!SetEndOfFile(handle)) {
      const DWORD code = GetLastError();
      CloseHandle(handle);
      return code;
    }
    *file = std::make_unique<Win32File>(handle, /*removable=*/true);
    return 0;
  }

  PathSyntax syntax_ = PathSyntax::Windows();
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int, char**) {
  return std::make_unique<Win32Platform>();
}

}  // namespace stashwell
