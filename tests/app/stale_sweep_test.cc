#include "app/stale_sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include "platform/system_platform.h"
#include "support/platform_wrapper.h"
#include "support/scratch_dir.h"
#include "support/test_helpers.h"

namespace stashwell {
namespace {

constexpr double kTwoSeconds = 2.0 / 86400.0;
constexpr int64_t kDay = 86400;

SearchEntry PackedEntry(int year, int month, int day, int hour, int minute,
                        int second) {
  SearchEntry entry;
  entry.name = "eud1.log";
  entry.last_write = FieldsAt(year, month, day, hour, minute, second);
  return entry;
}

TEST(IsStale, ComparesThePackedTimeWithNowInBothDirections) {
  // 6 December 2026, 12:00:00: half a day is exact in a double.
  const SearchEntry noon = PackedEntry(2026, 12, 6, 12, 0, 0);
  const DayCount at = 46362.5;
  ASSERT_EQ(EntryDayCount(noon), at);
  const struct {
    const char* name;
    DayCount now;
    bool stale;
  } cases[] = {
      {"same time", at, false},
      {"an hour later", at + 1.0 / 24, false},
      {"exactly a day later", at + 1.0, false},
      {"a day and 2 seconds later", at + 1.0 + kTwoSeconds, true},
      {"exactly a day earlier", at - 1.0, false},
      {"a day and 2 seconds earlier", at - 1.0 - kTwoSeconds, true},
      {"years later", at + 3000, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsStale(noon, c.now, 1.0), c.stale) << c.name;
  }
  EXPECT_FALSE(IsStale(noon, at + 5, 10.0));
}

TEST(IsStale, PackedSecondsComeInStepsOfTwo) {
  // 12:00:01 packs as 12:00:00.
  const SearchEntry odd = PackedEntry(2026, 12, 6, 12, 0, 1);
  EXPECT_EQ(EntryDayCount(odd), 46362.5);
  EXPECT_FALSE(IsStale(odd, 46363.5, 1.0));
}

TEST(IsStale, TimesWithoutAPackedFormAreJudgedByTheirRealTime) {
  SearchEntry old;
  old.name = "eud1.log";
  old.last_write = DecodeDayCount(25570.0);  // 2 January 1970
  EXPECT_EQ(EntryDayCount(old), 25570.0);
  EXPECT_TRUE(IsStale(old, 46363.0, 1.0));
  // Within a day of such a time, the file is not stale: the real time
  // decides, not a packed value that means nothing.
  EXPECT_FALSE(IsStale(old, 25570.5, 1.0));

  SearchEntry far_future = old;
  far_future.last_write = DecodeDayCount(76000.0);  // 2108
  EXPECT_EQ(EntryDayCount(far_future), 76000.0);
  EXPECT_TRUE(IsStale(far_future, 46363.0, 1.0));

  // A time the system could not convert counts as long ago.
  SearchEntry unknown = old;
  unknown.last_write.reset();
  EXPECT_TRUE(IsStale(unknown, 46363.0, 1.0));
}

// Owns the real platform; a base class, so that it is built before the
// wrapper that forwards to it.
struct SystemPlatformHolder {
  std::unique_ptr<Platform> system = MakeSystemPlatform(0, nullptr);
};

// The real platform with a fixed clock; searches, removals and file writes
// are recorded.
class SweepPlatform : private SystemPlatformHolder, public PlatformWrapper {
 public:
  SweepPlatform() : PlatformWrapper(*system) {}

  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override {
    searches.push_back(mask);
    search_attributes.push_back(attributes);
    return target_.FindMatching(mask, attributes);
  }
  bool RemoveFile(const std::string& path) override {
    removals.push_back(path);
    return target_.RemoveFile(path);
  }
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    if (use == FileUse::kLog) ++writes;
    return PlatformWrapper::Open(path, use, file);
  }
  uint32_t FileWrite(WrappedFile& file, const void* data,
                     size_t size) override {
    ++writes;
    return PlatformWrapper::FileWrite(file, data, size);
  }
  void Tell(Notice, const std::string&, const std::string&) override {
    ++writes;
  }
  DayCount LocalNow() override { return now; }

  DayCount now = 0;
  std::vector<std::string> searches;
  std::vector<uint32_t> search_attributes;
  std::vector<std::string> removals;
  int writes = 0;
};

#ifdef _WIN32
void SetAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
}
#endif

class StaleSweepTest : public ::testing::Test {
 protected:
  StaleSweepTest() : state(os) {
    state.MessageFilePath = dir.Path("eud17.tmp");
    state.MessageDirPrefix = dir.path() + kSeparator;
    // An even second a day ago: every file time below is a whole number of
    // 2-second steps away from it.
    base = (static_cast<int64_t>(std::time(nullptr)) - kDay) / 2 * 2;
  }

  // A file in the message folder whose last write lies offset seconds from
  // base.
  std::string File(const std::string& name, int64_t offset) {
    const std::string path = dir.Write(name, name);
    SetWriteTime(path, base + offset);
    return path;
  }
  // Sets the clock to exactly one day after the packed time that the
  // platform's search reports for base, through a file stamped with it.
  void SetNowOneDayAfterBase() {
    const std::string probe = dir.MakeDir("probe");
    const std::string path = probe + kSeparator + "probe.txt";
    std::filesystem::remove(path);
    dir.Write(std::string("probe") + kSeparator + "probe.txt", "");
    SetWriteTime(path, base);
    const std::vector<SearchEntry> found = os.FindMatching(path, 35);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_TRUE(found[0].last_write);
    ASSERT_TRUE(PackDosTime(*found[0].last_write));
    os.now = EntryDayCount(found[0]) + 1.0;
    std::filesystem::remove_all(probe);
    os.searches.clear();
    os.search_attributes.clear();
  }
  bool Exists(const std::string& name) const {
    return ScratchDir::Exists(dir.Path(name));
  }

  ScratchDir dir;
  SweepPlatform os;
  RunState state;
  int64_t base = 0;
};

TEST_F(StaleSweepTest, AgesAroundOneDayInBothDirections) {
  File("eud1.log", 0);                    // exactly a day old: stays
  File("eud2.log", -2);                   // a day and 2 seconds: goes
  File("eud3.tmp", 2 * kDay + 2 * 3600);  // over a day ahead: goes
  File("eud4.tmp", kDay - 3600);          // an hour old: stays
  File("EUD5.LOG", -kDay);                // two days, any case: goes
  File("eud.tmp", -kDay);                 // "*" matches nothing: goes
  File("other.log", -kDay);               // no match: stays
  File("xeud6.log", -kDay);               // no match: stays
  File("eud7.log.bak", -kDay);            // no match: stays
  File("eud8.tmp", 2 * kDay + 2);         // a day and 2 seconds ahead: goes
  File("eud9.tmp", kDay);                 // exactly now: stays
  File("eud10.tmp", 2 * kDay);            // exactly a day ahead: stays
  SetNowOneDayAfterBase();
  SweepStaleFiles(state);
  EXPECT_TRUE(Exists("eud1.log"));
  EXPECT_FALSE(Exists("eud2.log"));
  EXPECT_FALSE(Exists("eud3.tmp"));
  EXPECT_TRUE(Exists("eud4.tmp"));
  EXPECT_FALSE(Exists("EUD5.LOG"));
  EXPECT_FALSE(Exists("eud.tmp"));
  EXPECT_TRUE(Exists("other.log"));
  EXPECT_TRUE(Exists("xeud6.log"));
  EXPECT_TRUE(Exists("eud7.log.bak"));
  EXPECT_FALSE(Exists("eud8.tmp"));
  EXPECT_TRUE(Exists("eud9.tmp"));
  EXPECT_TRUE(Exists("eud10.tmp"));
}

TEST_F(StaleSweepTest, SearchesTheLogMaskFirstWithAttributeSet35) {
  File("eud1.tmp", -kDay);
  File("eud2.log", -kDay);
  File("eud3.tmp", -kDay);
  File("eud4.log", -kDay);
  SetNowOneDayAfterBase();
  SweepStaleFiles(state);
  const std::string prefix = state.MessageDirPrefix;
  EXPECT_EQ(os.searches, (std::vector<std::string>{prefix + "eud*.log",
                                                   prefix + "eud*.tmp"}));
  EXPECT_EQ(os.search_attributes, (std::vector<uint32_t>{35, 35}));
  ASSERT_EQ(os.removals.size(), 4u);
  // All ".log" entries, in the order of the search, before any ".tmp".
  std::vector<std::string> logs(os.removals.begin(), os.removals.begin() + 2);
  std::vector<std::string> tmps(os.removals.begin() + 2, os.removals.end());
  std::sort(logs.begin(), logs.end());
  std::sort(tmps.begin(), tmps.end());
  EXPECT_EQ(logs, (std::vector<std::string>{prefix + "eud2.log",
                                            prefix + "eud4.log"}));
  EXPECT_EQ(tmps, (std::vector<std::string>{prefix + "eud1.tmp",
                                            prefix + "eud3.tmp"}));
  EXPECT_FALSE(Exists("eud1.tmp") || Exists("eud2.log") || Exists("eud3.tmp") ||
               Exists("eud4.log"));
}

TEST_F(StaleSweepTest, FolderNamedLikeAMaskIsNeverTouched) {
  const std::string folder = dir.MakeDir("eud1.log");
  dir.Write(std::string("eud1.log") + kSeparator + "inside.txt", "x");
  SetWriteTime(folder, base - 10 * kDay);
  SetNowOneDayAfterBase();
  SweepStaleFiles(state);
  EXPECT_TRUE(Exists("eud1.log"));
  EXPECT_TRUE(Exists(std::string("eud1.log") + kSeparator + "inside.txt"));
  EXPECT_TRUE(os.removals.empty());
}

TEST_F(StaleSweepTest, StaleReadOnlyFileIsExaminedAndStays) {
  const std::string path = File("eud1.tmp", -kDay);
  MakeReadOnly(path);
  File("eud2.tmp", -kDay);
  SetNowOneDayAfterBase();
  SweepStaleFiles(state);
  EXPECT_TRUE(Exists("eud1.tmp"));
  EXPECT_FALSE(Exists("eud2.tmp"));
  EXPECT_EQ(os.removals.size(), 2u);
  EXPECT_EQ(os.writes, 0);
}

#ifdef _WIN32
TEST_F(StaleSweepTest, StaleHiddenFileGoesAndStaleSystemFileStays) {
  const std::string hidden = File("eud1.log", -kDay);
  SetAttributes(hidden, FILE_ATTRIBUTE_HIDDEN);
  const std::string system_file = File("eud2.log", -kDay);
  SetAttributes(system_file, FILE_ATTRIBUTE_SYSTEM);
  SetNowOneDayAfterBase();
  SweepStaleFiles(state);
  EXPECT_FALSE(Exists("eud1.log"));
  EXPECT_TRUE(Exists("eud2.log"));
  SetAttributes(system_file, FILE_ATTRIBUTE_NORMAL);
}
#endif

TEST_F(StaleSweepTest, FileFrom1970IsRemovedAndTheSweepGoesOn) {
  const std::string old = dir.Write("eud1.log", "old");
  SetWriteTime(old, kDay + 12 * 3600);  // 2 January 1970, noon
  File("eud2.log", -kDay);
  File("eud3.tmp", -kDay);
  File("eud4.tmp", kDay);
  SetNowOneDayAfterBase();
  SweepStaleFiles(state);
  EXPECT_FALSE(Exists("eud1.log"));
  EXPECT_FALSE(Exists("eud2.log"));
  EXPECT_FALSE(Exists("eud3.tmp"));
  EXPECT_TRUE(Exists("eud4.tmp"));
}

TEST_F(StaleSweepTest, MissingFolderChangesNothing) {
  state.MessageDirPrefix = dir.Path("nowhere") + kSeparator;
  os.now = 46363.0;
  SweepStaleFiles(state);
  EXPECT_EQ(os.searches.size(), 2u);
  EXPECT_TRUE(os.removals.empty());
  EXPECT_EQ(os.writes, 0);
}

TEST_F(StaleSweepTest, WritesNothingAndShowsNothing) {
  File("eud1.log", -kDay);
  File("eud2.tmp", 0);
  SetNowOneDayAfterBase();
  SweepStaleFiles(state);
  EXPECT_EQ(os.writes, 0);
  EXPECT_EQ(state.Log, nullptr);
  EXPECT_FALSE(state.ErrorsReported);
  EXPECT_FALSE(state.ActionLogged);
}

}  // namespace
}  // namespace stashwell
