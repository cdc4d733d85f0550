// Wildcard masks for file names, as in "*.vcf" or "eud*.log".
#ifndef STASHWELL_SCAN_NAME_MASK_H_
#define STASHWELL_SCAN_NAME_MASK_H_

#include <string_view>

namespace stashwell {

// True when mask covers the whole of name. In the mask "*" stands for any
// run of characters, the empty run included, and "?" for any one
// character; every other mask character matches one character of the name:
// ASCII letters without regard to case, all other bytes exactly.
bool MatchesMask(std::string_view name, std::string_view mask);

// The mask of the attachments that "/V" lets through.
inline constexpr char kVcfMask[] = "*.vcf";

}  // namespace stashwell

#endif  // STASHWELL_SCAN_NAME_MASK_H_
