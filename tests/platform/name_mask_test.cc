// The wildcard matcher of "/V" ("*.vcf") and of the stale-file sweep, and
// the Windows spellings that name no file (device names, wildcards).
#include "platform/name_mask.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/windows_names.h"

namespace stashwell {
namespace {

constexpr char kVcfMask[] = "*.vcf";

struct MaskCase {
  const char* name;
  const char* mask;
  bool matches;
};

void ExpectCases(const std::vector<MaskCase>& cases) {
  for (const MaskCase& c : cases) {
    EXPECT_EQ(MatchesMask(c.name, c.mask), c.matches)
        << "name \"" << c.name << "\" mask \"" << c.mask << "\"";
  }
}

TEST(MatchesMask, VcfMaskTakesEveryNameEndingInVcfInAnyCase) {
  ExpectCases({
      {"card.vcf", kVcfMask, true},
      {"CARD.VCF", kVcfMask, true},
      {"a.b.Vcf", kVcfMask, true},
      {".vcf", kVcfMask, true},
      {"x.vCf", kVcfMask, true},
      {"card.vcf.vcf", kVcfMask, true},
      {"card.vcf.txt", kVcfMask, false},
      {"cardvcf", kVcfMask, false},
      {"card.vcf ", kVcfMask, false},
      {"card.vc", kVcfMask, false},
      {"vcf", kVcfMask, false},
      {"", kVcfMask, false},
      {".", kVcfMask, false},
      {"..", kVcfMask, false},
  });
}

TEST(MatchesMask, StarTakesAnyRunIncludingTheEmptyOne) {
  ExpectCases({
      {"", "*", true},
      {"anything at all", "*", true},
      {"", "**", true},
      {"eud.log", "eud*.log", true},
      {"eud12.log", "eud*.log", true},
      {"EUD12.LOG", "eud*.log", true},
      {"eud12.log.log", "eud*.log", true},
      {"xeud12.log", "eud*.log", false},
      {"eud12.logx", "eud*.log", false},
      {"eud12.tmp", "eud*.log", false},
      {"ab", "a*b*c", false},
      {"aXbYc", "a*b*c", true},
      {"abcbc", "a*bc", true},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*b", true},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*b", false},
  });
}

TEST(MatchesMask, QuestionMarkTakesExactlyOneCharacter) {
  ExpectCases({
      {"a", "?", true},
      {"", "?", false},
      {"ab", "?", false},
      {"eud1.tmp", "eud?.tmp", true},
      {"eud.tmp", "eud?.tmp", false},
      {"eud12.tmp", "eud?*.tmp", true},
  });
}

TEST(MatchesMask, OnlyAsciiLettersIgnoreCaseOtherBytesMatchExactly) {
  ExpectCases({
      {"A", "a", true},
      {"z", "Z", true},
      {"@", "`", false},  // 0x40 and 0x60 differ by the case bit
      {"[", "{", false},
      {"\xC4.vcf", "\xE4.vcf", false},  // non-ASCII letters keep their case
      {"\xE4.vcf", "\xE4.vcf", true},
      {"\xE4.vcf", kVcfMask, true},
      {"a b", "a b", true},
      {"a.b", "a?b", true},
  });
}

TEST(MatchesMask, StaleFileMasksStarsAndQuestionMarks) {
  const struct {
    const char* name;
    const char* pattern;
    bool matches;
  } cases[] = {
      {"eud1.log", "eud*.log", true},
      {"eud.log", "eud*.log", true},  // the empty run
      {"eud12345.log", "eud*.log", true},
      {"EUD1.LOG", "eud*.log", true},
      {"eud1.log", "EUD*.LOG", true},
      {"xeud1.log", "eud*.log", false},
      {"eud1.logx", "eud*.log", false},
      {"eud1.tmp", "eud*.log", false},
      {"eud.log.log", "eud*.log", true},
      {"eud1.log", "eud?.log", true},
      {"eud.log", "eud?.log", false},
      {"eud12.log", "eud?.log", false},
      {"anything", "*", true},
      {"", "*", true},
      {"", "", true},
      {"a", "", false},
      {"abc", "a**c", true},
      {"abc", "?*?", true},
      {"ab", "???", false},
      {"a*b", "a*b", true},
      {"mississippi", "*sip*", true},
      {"mississippi", "m*iss*ppi", true},
      {"mississippi", "m*iss*ppx", false},
      {"report.vcf", "*.vcf", true},
      {"report.VCF", "*.vcf", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesMask(c.name, c.pattern), c.matches)
        << c.name << " ~ " << c.pattern;
  }
}

TEST(MatchesMask, BytesAbove127MatchOnlyThemselves) {
  // Bytes above 127 match only themselves: "\xC9" is not "\xE9".
  EXPECT_TRUE(MatchesMask("caf\xE9", "CAF\xE9"));
  EXPECT_FALSE(MatchesMask("caf\xE9", "caf\xC9"));
  // "[" and "{" differ from each other and from letters.
  EXPECT_FALSE(MatchesMask("[", "{"));
}

TEST(WindowsNames, DeviceNamesAndTheDeviceNamespaceNameNoDiskFile) {
  const PathSyntax windows = PathSyntax::Windows();
  const struct {
    const char* path;
    bool no_disk_file;
  } cases[] = {
      {"con", true},
      {"CON.txt", true},
      {"prn", true},
      {"aux", true},
      {"nul", true},
      {"nul.txt", true},
      {"com1.pdf", true},
      {"COM9", true},
      {"lpt1", true},
      {"Lpt5.tar.gz", true},
      {"C:\\Eudora\\att\\con", true},
      {"C:\\Eudora\\att/aux", true},
      {"C:nul", true},
      {"con. ", true},
      {"aux .pdf", true},
      {"\\\\.\\C:\\att\\report.pdf", true},
      {"\\\\.\\pipe\\x", true},
      {"com0", false},
      {"com10", false},
      {"lpt", false},
      {"console", false},
      {"nul1.txt", false},
      {"C:\\con\\report.pdf", false},
      {"C:\\att\\acon", false},
      {"\\\\?\\C:\\att\\report.pdf", false},
      {"report.pdf", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NamesNoDiskFile(c.path, windows), c.no_disk_file) << c.path;
  }
}

TEST(WindowsNames, TheLongPathPrefixIsNoWildcard) {
  EXPECT_FALSE(HasWildcard("\\\\?\\Z:\\att\\report.pdf"));
  EXPECT_TRUE(HasWildcard("\\\\?\\Z:\\att\\r?port.pdf"));
  EXPECT_TRUE(HasWildcard("\\\\?\\Z:\\att\\*"));
  EXPECT_TRUE(HasWildcard("C:\\?\\report.pdf"));
  EXPECT_TRUE(HasWildcard("\\\\.\\?"));
  EXPECT_FALSE(HasWildcard("C:\\att\\report.pdf"));
}

}  // namespace
}  // namespace stashwell
