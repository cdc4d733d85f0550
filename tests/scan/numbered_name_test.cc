// Numbered destination names: where the number goes, and the search for the
// first free one on real folders.
#include "scan/numbered_name.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/scratch_dir.h"
#include "support/test_platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace stashwell {
namespace {

struct NameCase {
  const char* path;
  uint32_t number;
  const char* numbered;
};

TEST(MakeNumberedName, WindowsPathsFollowTheTable) {
  const PathSyntax windows = PathSyntax::Windows();
  const NameCase cases[] = {
      {"D:\\Dest\\report.pdf", 1, "D:\\Dest\\report1.pdf"},
      {"D:\\Dest\\report.pdf", 12, "D:\\Dest\\report12.pdf"},
      {"D:\\Dest\\archive.tar.gz", 1, "D:\\Dest\\archive.tar1.gz"},
      {"D:\\Dest\\README", 2, "D:\\Dest\\README2"},
      {"D:\\My.Files\\README", 1, "D:\\My.Files\\README1"},
      {"D:\\Dest\\notes.", 1, "D:\\Dest\\notes1."},
      {"D:\\Dest\\.profile", 1, "D:\\Dest\\1.profile"},
      {"D:\\Dest\\report.pdf", 0, "D:\\Dest\\report0.pdf"},
      {"D:\\Dest\\report.pdf", 256, "D:\\Dest\\report256.pdf"},
      {"D:\\Dest\\report.pdf", 65535, "D:\\Dest\\report65535.pdf"},
      {"README", 3, "README3"},
      {"a.b", 3, "a3.b"},
      {"", 1, "1"},
      // "/" ends no folder name here: the dot counts as the extension's.
      {"D:\\My.Files/README", 1, "D:\\My1.Files/README"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(MakeNumberedName(c.path, c.number, windows), c.numbered)
        << c.path << " " << c.number;
  }
}

TEST(MakeNumberedName, PosixPathsUseTheSlash) {
  const PathSyntax posix = PathSyntax::Posix();
  const NameCase cases[] = {
      {"/dest/report.pdf", 1, "/dest/report1.pdf"},
      {"/my.files/README", 1, "/my.files/README1"},
      {"/dest/.profile", 4, "/dest/4.profile"},
      {"/my.files\\README", 1, "/my1.files\\README"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(MakeNumberedName(c.path, c.number, posix), c.numbered)
        << c.path << " " << c.number;
  }
}

TEST(FindExtensionDot, PositionIsTheLastDotEvenInAFolderName) {
  const PathSyntax windows = PathSyntax::Windows();
  size_t position = 99;
  EXPECT_TRUE(FindExtensionDot("D:\\Dest\\report.pdf", windows, &position));
  EXPECT_EQ(position, 15u);
  EXPECT_FALSE(FindExtensionDot("D:\\My.Files\\README", windows, &position));
  EXPECT_EQ(position, 6u);
  EXPECT_FALSE(FindExtensionDot("D:\\Dest\\README", windows, &position));
  EXPECT_EQ(position, 0u);
  EXPECT_TRUE(FindExtensionDot(".", windows, &position));
  EXPECT_EQ(position, 1u);
}

TEST(FindExtensionDot, SecondBytesOfDoubleByteCharactersAreNoSeparator) {
  PathSyntax shift_jis = PathSyntax::Windows();
  for (int b = 0x81; b <= 0x9F; ++b) shift_jis.lead_byte[b] = true;
  for (int b = 0xE0; b <= 0xFC; ++b) shift_jis.lead_byte[b] = true;
  // 0x95 0x5C is one character whose second byte is the backslash's code.
  const std::string path = "D:\\a.b\x95\x5C";
  size_t position = 0;
  EXPECT_TRUE(FindExtensionDot(path, shift_jis, &position));
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(MakeNumberedName(path, 7, shift_jis), "D:\\a7.b\x95\x5C");
  // Without the code page the same byte is a separator.
  EXPECT_EQ(MakeNumberedName(path, 7, PathSyntax::Windows()),
            "D:\\a.b\x95\x5C"
            "7");
}

// Counts the search's lookups and listings in the destination folder;
// after_listing, when set, acts between the listing and the lookups that
// follow it. The folder tells listing_cost as the cost of its listing, so
// that a handful of files is listed after four lookups (0: the folder's
// own answer).
class WatchedPlatform : public TestPlatform {
 public:
  uint32_t FolderListingCostInLookups(WrappedFolder& folder) override {
    return listing_cost != 0 ? listing_cost
                             : TestPlatform::FolderListingCostInLookups(folder);
  }
  PathKind FolderExamine(WrappedFolder& folder,
                         const std::string& name) override {
    ++lookups;
    return TestPlatform::FolderExamine(folder, name);
  }
  std::vector<std::string> FolderPlainFileNames(
      WrappedFolder& folder, std::string_view prefix,
      std::string_view suffix) override {
    ++listings;
    std::vector<std::string> names =
        TestPlatform::FolderPlainFileNames(folder, prefix, suffix);
    if (after_listing) after_listing();
    return names;
  }
  std::function<void()> after_listing;
  uint32_t listing_cost = 16;
  int lookups = 0;
  int listings = 0;
};

class FindFreeNumberedNameTest : public ::testing::Test {
 protected:
  // Runs the search from name in the scratch folder (in the folder name
  // lies in) and returns the numbered name it chose, as a path below the
  // scratch folder.
  std::string SearchFrom(const std::string& name) {
    const std::string path = dir_.Path(name);
    const std::string folder_path = FolderPart(path, os_.Syntax());
    std::unique_ptr<Folder> folder;
    EXPECT_EQ(os_.OpenFolder(folder_path, &folder), 0u);
    if (!folder) return "(no folder)";
    const std::optional<std::string> found = FindFreeNumberedName(
        *folder, FileNamePart(path, os_.Syntax()), os_.Syntax());
    EXPECT_TRUE(found);
    if (!found) return "(none free)";
    // The answer is a name in the folder, not a path.
    EXPECT_EQ(FileNamePart(*found, os_.Syntax()), *found);
    return (folder_path + kSeparator + *found).substr(dir_.path().size() + 1);
  }

  // The name one lookup per number finds, the search's own rule.
  std::string OneLookupPerNumber(const std::string& name) {
    const std::string path = dir_.Path(name);
    for (uint32_t number = 1;; ++number) {
      const std::string candidate =
          MakeNumberedName(path, number, os_.Syntax());
      if (os_.TestPlatform::Examine(candidate) == PathKind::kMissing) {
        return candidate.substr(dir_.path().size() + 1);
      }
    }
  }

  // stem + n + extension for n from 1 to last, except `except`.
  void Take(const std::string& stem, const std::string& extension, int last,
            int except = 0) {
    for (int n = 1; n <= last; ++n) {
      if (n != except) dir_.Write(stem + std::to_string(n) + extension, "x");
    }
  }

  ScratchDir dir_;
  WatchedPlatform os_;
};

TEST_F(FindFreeNumberedNameTest, FirstFreeNumberWins) {
  dir_.Write("report.pdf", "x");
  EXPECT_EQ(SearchFrom("report.pdf"), "report1.pdf");
  dir_.Write("report1.pdf", "x");
  dir_.Write("report2.pdf", "x");
  EXPECT_EQ(SearchFrom("report.pdf"), "report3.pdf");
}

TEST_F(FindFreeNumberedNameTest, NumbersAreNotContinuedPastTakenOnes) {
  dir_.Write("report2.pdf", "x");
  EXPECT_EQ(SearchFrom("report.pdf"), "report1.pdf");
}

TEST_F(FindFreeNumberedNameTest, NumbersAreNeverPadded) {
  for (int i = 1; i <= 9; ++i) {
    dir_.Write("report" + std::to_string(i) + ".pdf", "x");
  }
  EXPECT_EQ(SearchFrom("report.pdf"), "report10.pdf");
}

TEST_F(FindFreeNumberedNameTest, NamesWithoutExtensionGetTheNumberAppended) {
  dir_.MakeDir("my.files");
  dir_.Write("README1", "x");
  EXPECT_EQ(SearchFrom("README"), "README2");
  EXPECT_EQ(SearchFrom("my.files" + std::string(1, kSeparator) + "README"),
            "my.files" + std::string(1, kSeparator) + "README1");
  EXPECT_EQ(SearchFrom(".profile"), "1.profile");
}

TEST_F(FindFreeNumberedNameTest, AFolderOfTheNameTakesIt) {
  dir_.MakeDir("report1.pdf");
  EXPECT_EQ(SearchFrom("report.pdf"), "report2.pdf");
}

TEST_F(FindFreeNumberedNameTest, ManyTakenNamesCostOneListing) {
  dir_.Write("report.pdf", "x");
  Take("report", ".pdf", 120);
  dir_.Write("other.txt", "x");
  EXPECT_EQ(SearchFrom("report.pdf"), "report121.pdf");
  EXPECT_EQ(os_.listings, 1);
  // A few lookups before the listing, and the chosen name's.
  EXPECT_LE(os_.lookups, 6);
}

// Names the listing shows that must not pass for the free number's name.
struct ListingCase {
  const char* label;
  const char* extra;  // a further file, or nothing
  const char* expected;
};

// What the folder tells a listing costs, and how the search chooses then
// between lookups and the listing, with 40 numbers taken but 17. Past the
// first number, the search looks once at the first number its lookups
// would not reach (a quarter of the listing's cost on): taken, and the
// folder is listed at once.
struct ChoiceCase {
  uint32_t listing_cost;
  int listings;  // the search lists the folder this often
  int lookups;   // and looks up this many names
};
constexpr ChoiceCase kChoices[] = {
    {1, 1, 2},                 // listed after the first lookup
    {16, 1, 3},                // 5 is taken: listed after two lookups
    {60, 1, 3},                // so is 16
    {64, 0, 18},               // 17 is free: lookups up to it, no listing
    {68, 1, 3},                // 18 is taken: listed, though 17 was free
    {kLastNameNumber, 0, 18},  // 16384 is free: lookups alone
};

TEST_F(FindFreeNumberedNameTest, TheListingAnswersAsALookupPerNumber) {
  const ListingCase cases[] = {
      {"a gap", nullptr, "report17.pdf"},
      {"leading zero", "report017.pdf", "report17.pdf"},
      {"past 32 bits", "report4294967313.pdf", "report17.pdf"},
      {"past the last number", "report65553.pdf", "report17.pdf"},
      {"other extension", "report17.pdfx", "report17.pdf"},
      {"blank", "report17 .pdf", "report17.pdf"},
#ifdef _WIN32
      // Names ignore letter case on Windows.
      {"letter case", "REPORT17.PDF", "report41.pdf"},
#else
      {"letter case", "REPORT17.PDF", "report17.pdf"},
#endif
  };
  dir_.Write("report.pdf", "x");
  Take("report", ".pdf", 40, 17);
  for (const ChoiceCase& choice : kChoices) {
    os_.listing_cost = choice.listing_cost;
    for (const ListingCase& c : cases) {
      const std::string extra = c.extra ? dir_.Write(c.extra, "x") : "";
      EXPECT_EQ(OneLookupPerNumber("report.pdf"), c.expected) << c.label;
      os_.lookups = os_.listings = 0;
      EXPECT_EQ(SearchFrom("report.pdf"), c.expected)
          << c.label << ", listing cost " << choice.listing_cost;
      if (std::string_view(c.expected) == "report17.pdf") {
        EXPECT_EQ(os_.listings, choice.listings) << choice.listing_cost;
        EXPECT_EQ(os_.lookups, choice.lookups) << choice.listing_cost;
      }
      if (!extra.empty()) {
        ASSERT_EQ(std::remove(extra.c_str()), 0) << extra;
      }
    }
  }
  // A folder of the name takes it as a file does; the listing leaves
  // folders to the lookup.
  dir_.MakeDir("report17.pdf");
  for (const ChoiceCase& choice : kChoices) {
    os_.listing_cost = choice.listing_cost;
    EXPECT_EQ(OneLookupPerNumber("report.pdf"), "report41.pdf");
    EXPECT_EQ(SearchFrom("report.pdf"), "report41.pdf") << choice.listing_cost;
  }
}

#ifndef _WIN32
TEST_F(FindFreeNumberedNameTest, AFolderOfManyFilesIsNotListedForAFewNumbers) {
  // The folder's own answer: thousands of other files make a listing
  // dearer than the few lookups of ten taken numbers.
  os_.listing_cost = 0;
  Take("report", ".pdf", 10);
  for (int n = 0; n < 3000; ++n) {
    dir_.Write("other-file-" + std::to_string(n) + ".dat", "");
  }
  EXPECT_EQ(SearchFrom("report.pdf"), "report11.pdf");
  EXPECT_EQ(os_.listings, 0);
  // One lookup per number, and the look ahead's.
  EXPECT_EQ(os_.lookups, 12);
}
#endif

TEST_F(FindFreeNumberedNameTest, StemsEndingInDigitsAndNamesWithoutDots) {
  Take("v2", ".pdf", 30);
  EXPECT_EQ(SearchFrom("v2.pdf"), "v231.pdf");
  Take("README", "", 30, 12);
  dir_.Write("README12.txt", "x");
  EXPECT_EQ(SearchFrom("README"), "README12");
  EXPECT_EQ(OneLookupPerNumber("README"), "README12");
}

#ifndef _WIN32
TEST_F(FindFreeNumberedNameTest, NamesWindowsOpensAsDevicesAreLookedUp) {
  // Numbers 1 to 40 taken but 17, listed once 5 is seen taken: a listed
  // name Windows would open as a device is looked up rather than passed
  // over, and with two digits or more only a stem holding a dot makes one.
  struct DeviceCase {
    const char* name;
    const char* stem;
    const char* extension;
    int lookups;
  };
  const DeviceCase cases[] = {
      {"com.txt", "com", ".txt", 11},        // com2 to com9 as well
      {"LPT", "LPT", "", 11},                // LPT2 to LPT9
      {"lpt.tar.gz", "lpt.tar", ".gz", 3},   // the base is "lpt"
      {"CON.tar.gz", "CON.tar", ".gz", 18},  // every number a device
      {"nul..txt", "nul.", ".txt", 18},      // so is "nul.12.txt"
      {"aux .txt", "aux ", ".txt", 3},       // "aux 1" is no device
      {"co.txt", "co", ".txt", 3},           // "co12" neither
  };
  for (const DeviceCase& c : cases) {
    Take(c.stem, c.extension, 40, 17);
    const std::string expected =
        std::string(c.stem) + "17" + std::string(c.extension);
    EXPECT_EQ(OneLookupPerNumber(c.name), expected);
    os_.lookups = os_.listings = 0;
    EXPECT_EQ(SearchFrom(c.name), expected);
    EXPECT_EQ(os_.listings, 1) << c.name;
    EXPECT_EQ(os_.lookups, c.lookups) << c.name;
  }
}
#endif

TEST_F(FindFreeNumberedNameTest, HiddenNamesAreListedToo) {
  Take(".notes", ".txt", 30);
#ifdef _WIN32
  for (int n = 1; n <= 30; ++n) {
    const std::string path = dir_.Path("notes" + std::to_string(n) + ".txt");
    dir_.Write("notes" + std::to_string(n) + ".txt", "x");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
  }
  EXPECT_EQ(SearchFrom("notes.txt"), "notes31.txt");
#endif
  EXPECT_EQ(SearchFrom(".notes.txt"), ".notes31.txt");
  // Passed over on the listing's word, not looked up one by one.
  EXPECT_LE(os_.lookups, 12);
}

TEST_F(FindFreeNumberedNameTest, ANameTakenAfterTheListingIsPassedOver) {
  dir_.Write("report.pdf", "x");
  Take("report", ".pdf", 40, 17);
  os_.after_listing = [&] { dir_.Write("report17.pdf", "late"); };
  EXPECT_EQ(SearchFrom("report.pdf"), "report41.pdf");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dir_.Path("report17.pdf")), "late");
}

#ifndef _WIN32
TEST_F(FindFreeNumberedNameTest, SpecialFilesAndLinksTakeTheName) {
  // Whatever holds a name takes it, whatever the listing makes of it: a
  // FIFO, a link that leads nowhere, a link to a plain file, a link to a
  // file the kernel generates.
  Take("report", ".pdf", 40, 17);
  const std::string gap = dir_.Path("report17.pdf");
  const std::function<void()> holders[] = {
      [&] { ASSERT_EQ(mkfifo(gap.c_str(), 0644), 0); },
      [&] { ASSERT_EQ(symlink(dir_.Path("nowhere").c_str(), gap.c_str()), 0); },
      [&] {
        ASSERT_EQ(symlink(dir_.Path("report1.pdf").c_str(), gap.c_str()), 0);
      },
      [&] { ASSERT_EQ(symlink("/proc/uptime", gap.c_str()), 0); },
  };
  for (size_t i = 0; i < std::size(holders); ++i) {
    holders[i]();
    EXPECT_EQ(OneLookupPerNumber("report.pdf"), "report41.pdf") << i;
    EXPECT_EQ(SearchFrom("report.pdf"), "report41.pdf") << i;
    ASSERT_EQ(unlink(gap.c_str()), 0);
  }
}
#endif

// Every numbered name of report.pdf up to the number `taken` is reported
// taken; counts the tries.
class TakenNamesPlatform : public TestPlatform {
 public:
  PathKind FolderExamine(WrappedFolder& folder,
                         const std::string& name) override {
    ++tries;
    const bool numbered = name.starts_with("report") && name.ends_with(".pdf");
    const std::string digits =
        numbered ? name.substr(6, name.size() - 10) : std::string();
    return !digits.empty() && std::stoul(digits) <= taken
               ? PathKind::kFile
               : TestPlatform::FolderExamine(folder, name);
  }
  uint32_t taken = 0;
  uint32_t tries = 0;
};

TEST(FindFreeNumberedName, NumbersGoOnPast255) {
  ScratchDir dir;
  TakenNamesPlatform os;
  os.taken = 255;
  std::unique_ptr<Folder> folder;
  ASSERT_EQ(os.OpenFolder(dir.path(), &folder), 0u);
  EXPECT_EQ(FindFreeNumberedName(*folder, "report.pdf", os.Syntax()),
            "report256.pdf");
}

TEST(FindFreeNumberedName, EveryNameTakenEndsAtTheBoundAndMakesNothing) {
  ScratchDir dir;
  TakenNamesPlatform os;
  os.taken = kLastNameNumber;
  std::unique_ptr<Folder> folder;
  ASSERT_EQ(os.OpenFolder(dir.path(), &folder), 0u);
  EXPECT_EQ(FindFreeNumberedName(*folder, "report.pdf", os.Syntax()),
            std::nullopt);
  // Each number once, and the look ahead past the first.
  EXPECT_EQ(os.tries, kLastNameNumber + 1);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  // One fewer taken: the last number is the answer.
  os.taken = kLastNameNumber - 1;
  os.tries = 0;
  EXPECT_EQ(FindFreeNumberedName(*folder, "report.pdf", os.Syntax()),
            "report65535.pdf");
}

}  // namespace
}  // namespace stashwell
