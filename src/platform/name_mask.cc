#include "platform/name_mask.h"

#include <cstddef>

#include "platform/path_syntax.h"

namespace stashwell {
namespace {

bool CharMatches(char name_char, char mask_char) {
  return mask_char == '?' || AsciiLower(name_char) == AsciiLower(mask_char);
}

}  // namespace

bool MatchesMask(std::string_view name, std::string_view mask) {
  // Greedy match with one point of return: the latest "*" and the name
  // position it was tried at. A mismatch lets that star take one more
  // character; earlier stars never need to be revisited, so the match takes
  // at most name.size() * mask.size() steps and never recurses.
  size_t n = 0;
  size_t m = 0;
  size_t star = std::string_view::npos;
  size_t star_name = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star = m++;
      star_name = n;
    } else if (m < mask.size() && CharMatches(name[n], mask[m])) {
      ++n;
      ++m;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++star_name;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace stashwell
