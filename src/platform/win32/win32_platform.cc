// The Platform on Windows, through the ANSI entry points: paths and texts
// are byte strings in the system's ANSI code page, message boxes have no
// owner window. The ...A functions are called by name, since <windows.h>
// turns the plain names (CopyFile, DeleteFile, MessageBox, ...) into macros.
#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/system_platform.h"
#include "platform/win32/win32_locale.h"
#include "platform/windows_names.h"

namespace stashwell {
namespace {

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle FromHandle(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// The local calendar fields of a file time in UTC; false when Windows
// cannot convert it.
bool LocalFields(const FILETIME& utc, FILETIME* local, SYSTEMTIME* fields) {
  return FileTimeToLocalFileTime(&utc, local) &&
         FileTimeToSystemTime(local, fields);
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
  entry.size = found.nFileSizeLow;
  entry.attributes = found.dwFileAttributes;
  FILETIME local;
  SYSTEMTIME fields;
  const bool known = LocalFields(found.ftLastWriteTime, &local, &fields);
  if (known) entry.write_time = EncodeDayCount(ToFields(fields));
  // MS-DOS times cover 1980 to 2107 only. Some systems' conversion does not
  // refuse later years but wraps them, so the year is checked here too.
  WORD date = 0, time = 0;
  entry.time_packable = known && fields.wYear >= 1980 && fields.wYear <= 2107 &&
                        FileTimeToDosDateTime(&local, &date, &time);
  entry.packed_time =
      entry.time_packable ? (static_cast<uint32_t>(date) << 16) | time : 0;
  return entry;
}

// Closes a handle when it goes out of scope.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE handle) : handle_(handle) {}
  ~HandleCloser() { CloseHandle(handle_); }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;

 private:
  HANDLE handle_;
};

// Copies in from its current position to its end into out. 0 or a Win32
// code.
uint32_t CopyBytes(HANDLE in, HANDLE out) {
  constexpr DWORD kBlock = 1 << 20;
  std::vector<char> buffer(kBlock);
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
  if (full.rfind("\\\\", 0) == 0) {
    if (full.rfind("\\\\?\\", 0) == 0 || full.rfind("\\\\.\\", 0) == 0) {
      return full;
    }
    return "\\\\?\\UNC\\" + full.substr(2);
  }
  return "\\\\?\\" + full;
}

// Creates a new hidden file of the program's own beside destination,
// opened for writing and shared with no one: ".stashwell-<process>-<n>.tmp".
// One found there belongs to a run that was stopped mid-copy and can be
// deleted.
HANDLE CreateTemporary(const std::string& destination, const PathSyntax& syntax,
                       std::string* path) {
  const size_t folder_end = LastCharWhere(destination, syntax, [](char c) {
    return c == '\\' || c == '/' || c == ':';
  });
  const size_t end = folder_end == std::string::npos ? 0 : folder_end + 1;
  const std::string stem = destination.substr(0, end) + ".stashwell-" +
                           std::to_string(GetCurrentProcessId()) + "-";
  for (int n = 0; n < 1000; ++n) {
    *path = stem + std::to_string(n) + ".tmp";
    // The destination fits where its temporary name would not: the long
    // form lifts the limit.
    if (path->size() >= MAX_PATH) *path = LongPathForm(*path);
    HANDLE out =
        CreateFileA(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (out != INVALID_HANDLE_VALUE) return out;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      return INVALID_HANDLE_VALUE;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

class Win32Platform : public Platform {
 public:
  Win32Platform() {
    for (int b = 0; b < 256; ++b) {
      syntax_.lead_byte[b] = IsDBCSLeadByte(static_cast<BYTE>(b)) != 0;
    }
  }

  const PathSyntax& Syntax() override { return syntax_; }

  bool IsExistingFile(const std::string& path) override {
    // A wildcard would let the search pick some other file; such a path
    // names no file. Nor does a device name: "con" is the console, "aux"
    // may be a serial port whose open never returns.
    if (HasWildcard(path) || NamesNoDiskFile(path, syntax_)) return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool IsExistingDirectory(const std::string& path) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool RemoveFile(const std::string& path) override {
    // Wine reports success before the host system has removed the file,
    // and the removal can still fail there (an immutable file); the file
    // must be gone for the deletion to count.
    return DeleteFileA(path.c_str()) &&
           GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  }

  // The bytes go into a hidden temporary file of the destination folder
  // that no one else may open, which then gets the destination name by a
  // rename that fails when the name is taken: a final name only ever holds
  // a whole file, a file put there meanwhile is never replaced, and a failed
  // copy removes nothing but its own temporary file.
  uint32_t CopyFileNoReplace(const std::string& source,
                             const std::string& destination) override {
    // Shared as the system's own copy shares its source; like every open,
    // it refuses anything that is not a file on a disk.
    FileHandle source_file = kNoFile;
    const uint32_t open_code =
        Open(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
             OPEN_EXISTING, &source_file);
    if (open_code != 0) return open_code;
    HANDLE in = ToHandle(source_file);
    const HandleCloser in_closer(in);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(in, &info)) return GetLastError();
    // A taken name is refused before any byte is copied; the rename below
    // refuses it again should it be taken meanwhile.
    if (GetFileAttributesA(destination.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return ERROR_FILE_EXISTS;
    }

    std::string temporary;
    HANDLE out = CreateTemporary(destination, syntax_, &temporary);
    if (out == INVALID_HANDLE_VALUE) return GetLastError();
    uint32_t code = CopyBytes(in, out);
    if (code == 0 &&
        !SetFileTime(out, nullptr, nullptr, &info.ftLastWriteTime)) {
      code = GetLastError();
    }
    if (!CloseHandle(out) && code == 0) code = GetLastError();
    // The source's attributes (read-only among them) replace the temporary
    // hidden one before the file gets its name.
    const DWORD kept = info.dwFileAttributes &
                       (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                        FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (code == 0 &&
        !SetFileAttributesA(temporary.c_str(),
                            kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL)) {
      code = GetLastError();
    }
    if (code == 0 && !MoveFileExA(temporary.c_str(), destination.c_str(), 0)) {
      code = GetLastError();
      // The rename names a taken destination "already exists"; the copy
      // reports it as a file that exists, as a copy that refuses to
      // overwrite does.
      if (code == ERROR_ALREADY_EXISTS) code = ERROR_FILE_EXISTS;
    }
    if (code != 0) {
      SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(temporary.c_str());
    }
    return code;
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

  bool IsSameFile(const std::string& first,
                  const std::string& second) override {
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!Identify(first, &a) || !Identify(second, &b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
  }

  uint32_t OpenForWrite(const std::string& path, FileHandle* file) override {
    // Windows refuses to replace a read-only file; wine run by root does
    // not, so the rule is applied here as well.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
            FILE_ATTRIBUTE_READONLY) {
      return ERROR_ACCESS_DENIED;
    }
    return Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, file);
  }
  uint32_t OpenForRead(const std::string& path, FileHandle* file) override {
    return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, file);
  }
  uint32_t OpenShared(const std::string& path, FileHandle* file) override {
    return Open(path, GENERIC_READ,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                OPEN_EXISTING, file);
  }

  uint32_t Read(FileHandle file, void* buffer, size_t size,
                size_t* count) override {
    const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(ToHandle(file), buffer, wanted, &got, nullptr)) {
      *count = 0;
      return GetLastError();
    }
    *count = got;
    return 0;
  }

  uint32_t Write(FileHandle file, const void* data, size_t size) override {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(ToHandle(file), next, chunk, &written, nullptr)) {
        return GetLastError();
      }
      // A write that takes nothing would loop forever: the disk is full.
      if (written == 0) return kErrorDiskFull;
      next += written;
      size -= written;
    }
    return 0;
  }

  uint32_t Size(FileHandle file, uint64_t* size) override {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(ToHandle(file), &length)) return GetLastError();
    *size = static_cast<uint64_t>(length.QuadPart);
    return 0;
  }

  uint32_t Close(FileHandle file) override {
    return CloseHandle(ToHandle(file)) ? 0 : GetLastError();
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
  void ShowWarning(const std::string& text,
                   const std::string& caption) override {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
  }
  void ShowError(const std::string& text, const std::string& caption) override {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(),
                MB_OK | MB_ICONSTOP | MB_TASKMODAL);
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
    const size_t folder_end = LastCharWhere(path, syntax_, [](char c) {
      return c == '\\' || c == '/' || c == ':';
    });
    return folder_end == std::string::npos ? path : path.substr(folder_end + 1);
  }

  uintptr_t CodeOffset(const void* address) override {
    return reinterpret_cast<uintptr_t>(address) -
           reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  }

 private:
  static uint32_t Open(const std::string& path, DWORD access, DWORD share,
                       DWORD disposition, FileHandle* file) {
    HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr,
                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    // Only files on a disk are files here: a console, a pipe or a port that
    // a path reached anyway is treated as missing.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      CloseHandle(handle);
      return ERROR_FILE_NOT_FOUND;
    }
    *file = FromHandle(handle);
    return 0;
  }

  // Volume and file index of an existing file or folder.
  static bool Identify(const std::string& path,
                       BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE handle = CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(handle, info) != 0;
    CloseHandle(handle);
    return known;
  }

  PathSyntax syntax_ = PathSyntax::Windows();
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int, char**) {
  return std::make_unique<Win32Platform>();
}

}  // namespace stashwell
