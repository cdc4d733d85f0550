// The wildcard rules of POSIX searches.
#ifndef _WIN32

#include "platform/posix/posix_search.h"

#include <gtest/gtest.h>

namespace stashwell {
namespace {

TEST(MatchesWildcard, StarsAndQuestionMarks) {
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
    EXPECT_EQ(MatchesWildcard(c.name, c.pattern), c.matches)
        << c.name << " ~ " << c.pattern;
  }
}

TEST(MatchesWildcard, OnlyAsciiLettersFoldCase) {
  // Bytes above 127 match only themselves: "\xC9" is not "\xE9".
  EXPECT_TRUE(MatchesWildcard("caf\xE9", "CAF\xE9"));
  EXPECT_FALSE(MatchesWildcard("caf\xE9", "caf\xC9"));
  // "[" and "{" differ from each other and from letters.
  EXPECT_FALSE(MatchesWildcard("[", "{"));
}

}  // namespace
}  // namespace stashwell

#endif  // _WIN32
