// Numbered destination names: report.pdf becomes report1.pdf, README
// becomes README1, and the search for the first such name that is free.
#ifndef STASHWELL_SCAN_NUMBERED_NAME_H_
#define STASHWELL_SCAN_NUMBERED_NAME_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/path_syntax.h"
#include "platform/platform.h"

namespace stashwell {

// The highest number the search tries. Far beyond any real collection of
// same-named attachments, and small enough that a folder where every name
// is taken is searched in moments rather than forever.
inline constexpr uint32_t kLastNameNumber = 65535;

// True when the file name in path has an extension. *position receives the
// 1-based index of the last dot anywhere in path, 0 when there is none; it
// is set even when the answer is false (the last dot lies in a folder name,
// that is, a syntax.separator follows it). Only syntax.separator ends a
// folder name here: on Windows "/" after the dot does not. Steps through
// the path by whole characters of the code page.
bool FindExtensionDot(std::string_view path, const PathSyntax& syntax,
                      size_t* position);

// path with number's decimal digits inserted just before the extension's
// dot, or appended when the file name has no extension.
std::string MakeNumberedName(std::string_view path, uint32_t number,
                             const PathSyntax& syntax);

// The first numbered variant of name (the unnumbered name, a file name in
// folder), from 1 up to kLastNameNumber, that nothing in folder holds (no
// file, folder, device or link); every candidate is built from the
// unnumbered name and looked up in folder. Nothing when every one of them
// is taken. Writes nothing to the log.
//
// Once the lookups of taken numbers have cost a quarter of what a listing
// of the folder would (Folder::ListingCostInLookups), the folder is listed
// once (PlainFileNames), and the numbers it shows taken by a plain file of
// exactly the candidate's name are passed over; every other number is
// still looked up, the chosen one included. A search thus costs with the
// numbers taken, not with the folder's size. With nothing else writing the
// folder the answer is the one a lookup per number gives; a name taken after
// the listing sends the search on to the next number.
std::optional<std::string> FindFreeNumberedName(Folder& folder,
                                                std::string_view name,
                                                const PathSyntax& syntax);

}  // namespace stashwell

#endif  // STASHWELL_SCAN_NUMBERED_NAME_H_
