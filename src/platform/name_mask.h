// Wildcard masks for file names, as in "*.vcf" or "eud*.log": the one
// matcher of the "/V" filter and of the POSIX folder search.
#ifndef STASHWELL_PLATFORM_NAME_MASK_H_
#define STASHWELL_PLATFORM_NAME_MASK_H_

#include <string_view>

namespace stashwell {

// True when mask covers the whole of name. In the mask "*" stands for any
// run of characters, the empty run included, and "?" for any one
// character; every other mask character matches one character of the name:
// ASCII letters without regard to case, all other bytes exactly.
bool MatchesMask(std::string_view name, std::string_view mask);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_NAME_MASK_H_
