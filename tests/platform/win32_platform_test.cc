// Behaviour of the Windows platform alone: wildcards, DOS attributes,
// sharing modes, file identity through other spellings of a path, and dates
// outside the MS-DOS range. Runs under wine in the win64 build.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/stale_sweep.h"
#include "platform/path_syntax.h"
#include "platform/platform.h"
#include "platform/system_platform.h"
#include "support/platform_wrapper.h"
#include "support/scratch_dir.h"
#include "support/search_entries.h"
#include "support/test_helpers.h"

namespace stashwell {
namespace {

// Sets the last-write time of path to a UTC calendar time.
bool SetWriteTimeUtc(const std::string& path, WORD year, WORD month, WORD day) {
  SYSTEMTIME when = {};
  when.wYear = year;
  when.wMonth = month;
  when.wDay = day;
  when.wHour = 12;
  FILETIME stamp;
  if (!SystemTimeToFileTime(&when, &stamp)) return false;
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool set = SetFileTime(file, nullptr, nullptr, &stamp) != 0;
  CloseHandle(file);
  return set;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

class Win32PlatformTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Read-only files must not keep the scratch folder alive.
    for (const std::string& path : protected_) {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
  }
  void SetAttributes(const std::string& path, DWORD attributes) {
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
    protected_.push_back(path);
  }

  std::unique_ptr<Platform> os_ = MakeSystemPlatform(0, nullptr);
  ScratchDir dir_;
  std::vector<std::string> protected_;
};

TEST_F(Win32PlatformTest, SyntaxIsWindowsWithTheCodePagesLeadBytes) {
  const PathSyntax& syntax = os_->Syntax();
  EXPECT_EQ(syntax.separator, '\\');
  EXPECT_TRUE(syntax.drive_colon);
  EXPECT_EQ(syntax.alternate_separator, '/');
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(syntax.lead_byte[b], IsDBCSLeadByte(static_cast<BYTE>(b)) != 0)
        << b;
  }
}

TEST_F(Win32PlatformTest, WildcardPathsNameNoFile) {
  const std::string file = dir_.Write("report.pdf", "x");
  ASSERT_TRUE(os_->IsExistingFile(file));
  for (const char* name :
       {"*", "*.pdf", "report.*", "r?port.pdf", "report.pd?", "???????????"}) {
    EXPECT_FALSE(os_->IsExistingFile(dir_.Path(name))) << name;
  }
  // A search with a mask still matches.
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("r?port.*"), 0)),
            std::vector<std::string>{"report.pdf"});
}

// Device names are no files wherever they stand, and nothing that opens
// as something other than a disk file is one; a long-path prefix is no
// wildcard.
TEST_F(Win32PlatformTest, DevicesAreNoFilesAndLongPathsAre) {
  const std::string file = dir_.Write("report.pdf", "x");
  for (const std::string& path :
       {std::string("con"), std::string("CON.txt"), std::string("prn"),
        std::string("lpt1"), std::string("aux"), std::string("com1.pdf"),
        std::string("nul"), std::string("nul.txt"), dir_.Path("con"),
        dir_.Path("NUL.pdf"), std::string("\\\\.\\") + file,
        std::string("\\\\.\\nul")}) {
    EXPECT_FALSE(os_->IsExistingFile(path)) << path;
    // Whatever asks about such a name, nothing opens it: a serial port's
    // open may never return.
    EXPECT_EQ(os_->IdentityOf(path), std::nullopt) << path;
    EXPECT_EQ(os_->RemoveProvenFile(path, FileProof{}), Removal::kNotProven)
        << path;
  }
  // What opens as a character device is no disk file either. Under wine
  // the drive Z: is the host's root, and /dev/zero a character device
  // (wine's own "nul" opens as a disk file, so the name rule above is what
  // keeps it out).
  std::unique_ptr<File> handle;
  EXPECT_EQ(os_->Open("Z:\\dev\\zero", FileUse::kComparison, &handle),
            kErrorFileNotFound);
  EXPECT_EQ(os_->Open("Z:\\dev\\zero", FileUse::kMessage, &handle),
            kErrorFileNotFound);
  const std::string long_path = "\\\\?\\" + file;
  EXPECT_TRUE(os_->IsExistingFile(long_path));
  ASSERT_EQ(os_->Open(long_path, FileUse::kMessage, &handle), 0u);
  EXPECT_EQ(handle->Close(), 0u);
}

TEST_F(Win32PlatformTest, ExistenceIgnoresLetterCaseAndTrailingSpelling) {
  const std::string file = dir_.Write("Report.PDF", "x");
  EXPECT_TRUE(os_->IsExistingFile(dir_.Path("report.pdf")));
  EXPECT_TRUE(os_->IsExistingDirectory(dir_.path()));
  EXPECT_TRUE(os_->IsExistingDirectory(dir_.path() + "\\"));
  EXPECT_FALSE(os_->IsExistingDirectory(file));
  EXPECT_FALSE(os_->IsExistingFile(dir_.path()));
}

TEST_F(Win32PlatformTest, SearchWithTheSweepsSetKeepsHiddenAndReadOnly) {
  const std::string plain = dir_.Write("plain.tmp", "12345");
  const std::string hidden = dir_.Write("hidden.tmp", "1");
  const std::string system = dir_.Write("system.tmp", "1");
  const std::string read_only = dir_.Write("readonly.tmp", "1");
  dir_.MakeDir("folder.tmp");
  SetAttributes(hidden, FILE_ATTRIBUTE_HIDDEN);
  SetAttributes(system, FILE_ATTRIBUTE_SYSTEM);
  SetAttributes(read_only, FILE_ATTRIBUTE_READONLY);

  const uint32_t sweep_set = kAttrReadOnly | kAttrHidden | kAttrArchive;
  ASSERT_EQ(sweep_set, 35u);
  const auto entries = os_->FindMatching(dir_.Path("*.tmp"), sweep_set);
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"hidden.tmp", "plain.tmp",
                                                      "readonly.tmp"}));
  ASSERT_NE(Find(entries, "hidden.tmp"), nullptr);
  EXPECT_NE(Find(entries, "hidden.tmp")->attributes & kAttrHidden, 0u);
  EXPECT_NE(Find(entries, "readonly.tmp")->attributes & kAttrReadOnly, 0u);

  // With no bits allowed, hidden files go too; read-only ones stay.
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("*.tmp"), 0)),
            (std::vector<std::string>{"plain.tmp", "readonly.tmp"}));
  // Asking for system files and folders brings them in.
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("*.tmp"),
                                    kAttrSystem | kAttrDirectory)),
            (std::vector<std::string>{"folder.tmp", "plain.tmp", "readonly.tmp",
                                      "system.tmp"}));
}

TEST_F(Win32PlatformTest, ReadOnlyAttributeRefusesRemoval) {
  const std::string file = dir_.Write("locked.txt", "keep");
  SetAttributes(file, FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(os_->RemoveFile(file));
  EXPECT_TRUE(os_->IsExistingFile(file));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "keep");
  // The copy refuses a read-only destination like any existing one.
  const std::string source = dir_.Write("new.txt", "new");
  EXPECT_EQ(CopyThroughFolder(*os_, source, file), kErrorFileExists);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "keep");
}

TEST_F(Win32PlatformTest, ReadOnlyFileCannotBeReplaced) {
  const std::string file = dir_.Write("locked.log", "keep");
  SetAttributes(file, FILE_ATTRIBUTE_READONLY);
  std::unique_ptr<File> handle;
  EXPECT_EQ(os_->Open(file, FileUse::kLog, &handle), kErrorAccessDenied);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "keep");
  // Reading it is fine.
  ASSERT_EQ(os_->Open(file, FileUse::kMessage, &handle), 0u);
  EXPECT_EQ(handle->Close(), 0u);
}

TEST_F(Win32PlatformTest, OpenForReadLetsOthersOnlyRead) {
  const std::string file = dir_.Write("message.txt", "line\r\n");
  std::unique_ptr<File> reader;
  ASSERT_EQ(os_->Open(file, FileUse::kMessage, &reader), 0u);
  std::unique_ptr<File> writer;
  EXPECT_EQ(os_->Open(file, FileUse::kLog, &writer), kErrorSharingViolation);
  std::unique_ptr<File> second;
  ASSERT_EQ(os_->Open(file, FileUse::kMessage, &second), 0u);
  EXPECT_EQ(second->Close(), 0u);
  EXPECT_EQ(reader->Close(), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "line\r\n");
}

TEST_F(Win32PlatformTest, OpenForWriteLetsOthersReadButNotWrite) {
  const std::string file = dir_.Path("run.log");
  std::unique_ptr<File> log;
  ASSERT_EQ(os_->Open(file, FileUse::kLog, &log), 0u);
  ASSERT_EQ(log->Write("abc", 3), 0u);
  // A reader that lets writers in may look at it; one that does not, may
  // not; a second writer may not; nobody may delete it.
  std::unique_ptr<File> shared;
  ASSERT_EQ(os_->Open(file, FileUse::kComparison, &shared), 0u);
  EXPECT_EQ(shared->Close(), 0u);
  std::unique_ptr<File> reader;
  EXPECT_EQ(os_->Open(file, FileUse::kMessage, &reader),
            kErrorSharingViolation);
  std::unique_ptr<File> writer;
  EXPECT_EQ(os_->Open(file, FileUse::kLog, &writer), kErrorSharingViolation);
  EXPECT_FALSE(os_->RemoveFile(file));
  EXPECT_EQ(log->Close(), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "abc");
}

TEST_F(Win32PlatformTest, OpenSharedLetsAWriterIn) {
  const std::string file = dir_.Write("attachment.bin", "old");
  std::unique_ptr<File> shared;
  ASSERT_EQ(os_->Open(file, FileUse::kComparison, &shared), 0u);
  std::unique_ptr<File> writer;
  ASSERT_EQ(os_->Open(file, FileUse::kLog, &writer), 0u);
  EXPECT_EQ(writer->Write("new!", 4), 0u);
  EXPECT_EQ(writer->Close(), 0u);
  uint64_t size = 0;
  EXPECT_EQ(shared->Size(&size), 0u);
  EXPECT_EQ(size, 4u);
  char bytes[8] = {};
  size_t count = 0;
  EXPECT_EQ(shared->Read(bytes, sizeof bytes, &count), 0u);
  EXPECT_EQ(std::string(bytes, count), "new!");
  EXPECT_EQ(shared->Close(), 0u);
}

TEST_F(Win32PlatformTest, SameFileThroughOtherSpellings) {
  const std::string file = dir_.Write("Long Attachment Name.document", "x");
  const std::string other = dir_.Write("other.document", "x");
  EXPECT_TRUE(SameFile(*os_, file, Upper(file)));
  EXPECT_TRUE(SameFile(
      *os_, file, dir_.path() + "\\.\\" + "long attachment name.DOCUMENT"));
  EXPECT_FALSE(SameFile(*os_, file, other));
  EXPECT_FALSE(SameFile(*os_, file, dir_.Path("missing.document")));
  EXPECT_FALSE(SameFile(*os_, dir_.Path("missing.document"),
                        dir_.Path("missing.document")));

  char short_path[MAX_PATH] = {};
  const DWORD length = GetShortPathNameA(file.c_str(), short_path, MAX_PATH);
  if (length > 0 && length < MAX_PATH && file != short_path) {
    EXPECT_TRUE(SameFile(*os_, file, short_path)) << short_path;
    EXPECT_FALSE(SameFile(*os_, other, short_path)) << short_path;
  } else {
    // Some file systems keep no short names; the other spellings above
    // still count.
    std::cout << "no short name for " << file << "\n";
  }
}

TEST_F(Win32PlatformTest, FilesDatedOutsideThePackedRangeExist) {
  const std::string old_file = dir_.Write("old.txt", "1970");
  const std::string future_file = dir_.Write("future.txt", "2200");
  ASSERT_TRUE(SetWriteTimeUtc(old_file, 1970, 1, 2));
  ASSERT_TRUE(SetWriteTimeUtc(future_file, 2200, 6, 1));
  EXPECT_TRUE(os_->IsExistingFile(old_file));
  EXPECT_TRUE(os_->IsExistingFile(future_file));

  const auto entries = os_->FindMatching(dir_.Path("*.txt"), 0);
  const SearchEntry* old_entry = Find(entries, "old.txt");
  const SearchEntry* future_entry = Find(entries, "future.txt");
  ASSERT_NE(old_entry, nullptr);
  ASSERT_NE(future_entry, nullptr);
  ASSERT_TRUE(old_entry->last_write);
  ASSERT_TRUE(future_entry->last_write);
  EXPECT_FALSE(PackDosTime(*old_entry->last_write));
  EXPECT_FALSE(PackDosTime(*future_entry->last_write));
  // The day count is still there: about 2 January 1970 and 1 June 2200,
  // whatever the local time zone.
  EXPECT_NEAR(EntryDayCount(*old_entry), 25570.5, 1.0);
  EXPECT_NEAR(EntryDayCount(*future_entry), 109726.5, 1.0);
}

TEST_F(Win32PlatformTest, SearchPacksLocalWriteTime) {
  const std::string file = dir_.Write("dated.txt", "x");
  ASSERT_TRUE(SetWriteTimeUtc(file, 2021, 6, 15));
  const auto entries = os_->FindMatching(file, 0);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_TRUE(entries[0].last_write);
  const std::optional<uint32_t> packed = PackDosTime(*entries[0].last_write);
  ASSERT_TRUE(packed);
  // The program's own packing agrees with Windows' own conversion of the same
  // moment.
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(file.c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  FILETIME local;
  WORD date = 0, time = 0;
  ASSERT_TRUE(FileTimeToLocalFileTime(&found.ftLastWriteTime, &local));
  ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
  EXPECT_EQ(*packed, (static_cast<uint32_t>(date) << 16) | time);
  EXPECT_EQ(*packed >> 25, 2021u - 1980u);
}

// A folder lists as plain files only files without the directory, system
// or reparse-point bit whose names begin and end as asked, byte for byte
// (the search itself ignores letter case); hidden and read-only ones among
// them. The rest is left to a lookup of its own.
TEST_F(Win32PlatformTest, AFolderListsPlainFilesOnly) {
  for (const char* name :
       {"r1.pdf", "r2.pdf", "r3.pdf", "r4.pdf", "R5.PDF", "r.pdf"}) {
    dir_.Write(name, "x");
  }
  SetAttributes(dir_.Path("r2.pdf"), FILE_ATTRIBUTE_HIDDEN);
  SetAttributes(dir_.Path("r3.pdf"), FILE_ATTRIBUTE_SYSTEM);
  SetAttributes(dir_.Path("r4.pdf"), FILE_ATTRIBUTE_READONLY);
  dir_.MakeDir("r6.pdf");
  std::unique_ptr<Folder> folder;
  ASSERT_EQ(os_->OpenFolder(dir_.path(), &folder), 0u);
  EXPECT_EQ(Sorted(folder->PlainFileNames("r", ".pdf")),
            (std::vector<std::string>{"r.pdf", "r1.pdf", "r2.pdf", "r4.pdf"}));
  EXPECT_EQ(folder->Examine("r3.pdf"), PathKind::kFile);
  EXPECT_EQ(folder->Examine("r5.pdf"), PathKind::kFile);
  EXPECT_EQ(folder->Examine("r6.pdf"), PathKind::kFolder);
  EXPECT_EQ(folder->Examine("r7.pdf"), PathKind::kMissing);
  EXPECT_EQ(folder->Flush(), 0u);
  std::unique_ptr<Folder> missing;
  EXPECT_EQ(os_->OpenFolder(dir_.Path("none"), &missing), kErrorPathNotFound);
}

TEST_F(Win32PlatformTest, CopyFailsWithTheSystemsCodes) {
  const std::string source = dir_.Write("a.txt", "a");
  const std::string target = dir_.Write("b.txt", "b");
  EXPECT_EQ(CopyThroughFolder(*os_, source, target), kErrorFileExists);
  EXPECT_EQ(CopyThroughFolder(*os_, dir_.Path("none.txt"), dir_.Path("c.txt")),
            kErrorFileNotFound);
  EXPECT_EQ(CopyThroughFolder(*os_, source, dir_.Path("no\\c.txt")),
            kErrorPathNotFound);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(target), "b");
  // A failed copy never takes away a file that stood at the destination.
  EXPECT_EQ(CopyThroughFolder(*os_, dir_.Path("none.txt"), target),
            kErrorFileNotFound);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(target), "b");
  EXPECT_FALSE(ScratchDir::Exists(dir_.Path("c.txt")));
}

// A copy keeps its temporary file in the program's own hidden folder of the
// destination. A later copy removes what a killed run left there (its
// process is gone), keeps what a live run is writing, and never touches an
// attachment that bears a temporary name; the folder goes when empty.
TEST_F(Win32PlatformTest, CopiesCleanWhatKilledRunsLeft) {
  const std::string own = dir_.MakeDir(kOwnFolder);
  // No process has a number this high under wine or Windows.
  const std::string killed = dir_.Write(
      std::string(kOwnFolder) + "\\" + TemporaryName(0x7FFFFFF0u, 0), "part");
  SetAttributes(killed, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  const std::string lookalike =
      dir_.Write(TemporaryName(0x7FFFFFF0u, 1), "an attachment");
  const std::string source = dir_.Write("a.txt", "whole");
  // The copy keeps the source's attributes, none of its temporary file's.
  constexpr DWORD kKept =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  SetAttributes(source, kKept);
  ASSERT_EQ(CopyThroughFolder(*os_, source, dir_.Path("b.txt")), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dir_.Path("b.txt")), "whole");
  EXPECT_EQ(GetFileAttributesA(dir_.Path("b.txt").c_str()) &
                (kKept | FILE_ATTRIBUTE_HIDDEN),
            kKept);
  EXPECT_FALSE(ScratchDir::Exists(killed));
  EXPECT_FALSE(ScratchDir::Exists(own));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(lookalike), "an attachment");

  // A live run's file stays, and so does the folder that holds it.
  dir_.MakeDir(kOwnFolder);
  const std::string live =
      dir_.Write(std::string(kOwnFolder) + "\\" +
                     TemporaryName(GetCurrentProcessId(), 900),
                 "in use");
  ASSERT_EQ(CopyThroughFolder(*os_, source, dir_.Path("c.txt")), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(live), "in use");
  EXPECT_TRUE(ScratchDir::Exists(own));
}

TEST_F(Win32PlatformTest, ProcessFacts) {
  const CommandLine line = os_->ReadCommandLine();
  EXPECT_TRUE(line.is_text);
  EXPECT_EQ(line.text, GetCommandLineA());
  const std::string name = os_->ProgramFileName();
  EXPECT_EQ(name.find_first_of("\\/:"), std::string::npos) << name;
  EXPECT_EQ(Upper(name).substr(name.size() - 4), ".EXE");
  const uintptr_t offset =
      os_->CodeOffset(reinterpret_cast<const void*>(&Upper));
  EXPECT_GT(offset, 0u);
  EXPECT_LT(offset, 64u * 1024 * 1024);
}

TEST_F(Win32PlatformTest, LocaleDayNamesStartOnSunday) {
  const LocaleFormats formats = os_->ReadLocaleFormats();
  char sunday[128] = {}, monday[128] = {}, january[128] = {};
  const LCID locale = GetThreadLocale();
  ASSERT_GT(GetLocaleInfoA(locale, LOCALE_SDAYNAME7, sunday, 128), 1);
  ASSERT_GT(GetLocaleInfoA(locale, LOCALE_SDAYNAME1, monday, 128), 1);
  ASSERT_GT(GetLocaleInfoA(locale, LOCALE_SMONTHNAME1, january, 128), 1);
  EXPECT_EQ(formats.long_day[0], sunday);
  EXPECT_EQ(formats.long_day[1], monday);
  EXPECT_EQ(formats.long_month[0], january);
  EXPECT_FALSE(formats.short_date.empty());
  EXPECT_FALSE(formats.am.empty());
  EXPECT_FALSE(formats.short_day[6].empty());
  EXPECT_FALSE(formats.short_month[11].empty());
}

TEST_F(Win32PlatformTest, LocalNowMatchesTheSystemClock) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  const DayCount value = os_->LocalNow();
  const double whole_days = static_cast<double>(static_cast<int64_t>(value));
  const double seconds = (value - whole_days) * 86400.0;
  const double expected = now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond;
  // Around midnight the day may have turned between the two readings.
  const double apart = std::abs(seconds - expected);
  EXPECT_TRUE(apart < 5.0 || apart > 86395.0) << seconds << " " << expected;
}

// The locale and code page tests below run in the default run and again
// under other locales (see tests/win/CMakeLists.txt). There the variables
// STASHWELL_EXPECT_LCID and STASHWELL_EXPECT_ACP name the locale and code
// page that must be in force, so a run that fell back to another locale
// fails instead of testing nothing.
std::string Variable(const char* name) {
  char value[64] = {};
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? value : "";
}

TEST(Win32EnvironmentTest, RunsUnderTheExpectedLocale) {
  const std::string lcid = Variable("STASHWELL_EXPECT_LCID");
  if (!lcid.empty()) {
    EXPECT_EQ(GetThreadLocale(), std::stoul(lcid, nullptr, 16));
  }
  const std::string acp = Variable("STASHWELL_EXPECT_ACP");
  if (!acp.empty()) {
    EXPECT_EQ(GetACP(), std::stoul(acp));
  }
}

struct LocaleCase {
  LANGID language;
  const char* short_date;
  const char* date_separator;
  bool hour_leading_zero;
  bool twelve_hour;
  bool marker_before_time;
};

// What Windows (and wine) keep for some locales.
constexpr LocaleCase kLocales[] = {
    {0x0409, "M/d/yyyy", "/", false, true, false},     // English (US)
    {0x0809, "dd/MM/yyyy", "/", true, false, false},   // English (UK)
    {0x0407, "d.M.yyyy", ".", true, false, false},     // German
    {0x0411, "yyyy/M/d", "/", false, false, false},    // Japanese
    {0x0412, "yyyy. M. d.", ". ", false, true, true},  // Korean
};

TEST(Win32LocaleTest, SettingsOfTheThreadLocale) {
  const LocaleFormats formats =
      MakeSystemPlatform(0, nullptr)->ReadLocaleFormats();
  const LANGID language = LANGIDFROMLCID(GetThreadLocale());
  bool known = false;
  for (const LocaleCase& expected : kLocales) {
    if (expected.language != language) continue;
    known = true;
    // German short dates are d.M.yyyy in wine and dd.MM.yyyy on Windows.
    if (language != 0x0407) {
      EXPECT_EQ(formats.short_date, expected.short_date);
    }
    EXPECT_EQ(formats.date_separator, expected.date_separator);
    EXPECT_EQ(formats.time_separator, ":");
    EXPECT_EQ(formats.hour_leading_zero, expected.hour_leading_zero);
    EXPECT_EQ(formats.twelve_hour, expected.twelve_hour);
    EXPECT_EQ(formats.marker_before_time, expected.marker_before_time);
  }
  if (!known) std::cout << "no expectations for language " << language << "\n";
  // Whatever the locale: the names are there, Sunday first.
  char sunday[128] = {};
  ASSERT_GT(GetLocaleInfoA(GetThreadLocale(), LOCALE_SABBREVDAYNAME7, sunday,
                           sizeof sunday),
            1);
  EXPECT_EQ(formats.short_day[0], sunday);
  for (int i = 0; i < 12; ++i) EXPECT_FALSE(formats.long_month[i].empty()) << i;
}

TEST(Win32CodePageTest, LeadBytesOfTheAnsiCodePage) {
  const PathSyntax syntax = MakeSystemPlatform(0, nullptr)->Syntax();
  if (GetACP() == 932) {
    // Shift JIS: lead bytes 81-9F and E0-FC; half-width katakana A1-DF
    // and every ASCII byte stand alone.
    for (int b = 0; b < 256; ++b) {
      const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
      EXPECT_EQ(syntax.lead_byte[b], lead) << b;
    }
  } else if (GetACP() == 1252) {
    for (int b = 0; b < 256; ++b) EXPECT_FALSE(syntax.lead_byte[b]) << b;
  }
}

TEST(Win32CodePageTest, DoubleByteNamesWithABackslashByte) {
  if (GetACP() != 932) GTEST_SKIP() << "needs code page 932";
  auto os = MakeSystemPlatform(0, nullptr);
  ScratchDir dir;
  // "表" is 95 5C in Shift JIS: its second byte is the backslash.
  const std::string name = "\x95\x5C.txt";
  const std::string path = dir.Path(name);
  std::unique_ptr<File> file;
  ASSERT_EQ(os->Open(path, FileUse::kLog, &file), 0u);
  ASSERT_EQ(file->Write("dbcs", 4), 0u);
  ASSERT_EQ(file->Close(), 0u);
  EXPECT_TRUE(os->IsExistingFile(path));
  const auto entries = os->FindMatching(dir.Path("*.txt"), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name);
  EXPECT_TRUE(SameFile(*os, path, dir.Path(name)));
  EXPECT_TRUE(os->RemoveFile(path));
  EXPECT_FALSE(os->IsExistingFile(path));
}

}  // namespace
}  // namespace stashwell

#endif  // _WIN32
