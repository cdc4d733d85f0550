#include "scan/numbered_name.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_names.h"
#include "run/fixed_texts.h"

namespace stashwell {

bool FindExtensionDot(std::string_view path, const PathSyntax& syntax,
                      size_t* position) {
  // One pass by whole characters: the last dot, and the last separator.
  // The file name has an extension when no separator follows the dot.
  size_t dot = std::string_view::npos;
  size_t separator = std::string_view::npos;
  ForEachCharStart(path, syntax, [&](size_t i) {
    if (path[i] == '.') dot = i;
    if (path[i] == syntax.separator) separator = i;
  });
  if (dot == std::string_view::npos) {
    *position = 0;
    return false;
  }
  *position = dot + 1;
  return separator == std::string_view::npos || separator < dot;
}

std::string MakeNumberedName(std::string_view path, uint32_t number,
                             const PathSyntax& syntax) {
  const std::string digits = std::to_string(number);
  std::string result(path);
  size_t position = 0;
  if (FindExtensionDot(path, syntax, &position)) {
    result.insert(position - 1, digits);
  } else {
    result += digits;
  }
  return result;
}

namespace {

// How many numbers are looked up one at a time before the folder is
// listed: until the lookups have cost a quarter of what the listing would.
// Mostly the first number or the second is free, and a listing costs with
// every entry of the folder, a lookup with the number alone; so a search
// costs with the numbers taken, never more than a lookup per number and
// one more (the look ahead below) nor more than about 1.25 listings,
// however large the folder.
uint32_t LookupsBeforeListing(Folder& folder) {
  return std::max<uint32_t>(1, folder.ListingCostInLookups() / 4);
}

// Files of the search that the folder listed: the entry is a plain file
// (the folder lists no folder, link, special or system file) whose name is
// exactly the candidate's, byte for byte, and no device's. Only these
// numbers are passed over without a lookup; every other number is looked up
// as before, so that the listing decides nothing a lookup would decide
// otherwise: a name in another letter case (taken where names ignore case,
// free where they do not), a link or special file, a name Windows opens as
// a device, a name the search met by its short form.
class ListedNumbers {
 public:
  // Lists the folder once. Lists nothing when name holds a character that
  // may end a folder: its numbered names would not all be plain names of
  // this folder.
  ListedNumbers(Folder& folder, std::string_view name,
                const PathSyntax& syntax) {
    const auto ends_folder = [&](char c) {
      return syntax.EndsFolder(c) || (syntax.alternate_separator != 0 &&
                                      c == syntax.alternate_separator);
    };
    if (LastCharWhere(name, syntax, ends_folder) != std::string_view::npos) {
      return;
    }
    size_t dot = 0;
    const size_t insert =
        FindExtensionDot(name, syntax, &dot) ? dot - 1 : name.size();
    const std::string_view stem = name.substr(0, insert);
    const std::string_view after = name.substr(insert);
    // Whether a listed name of two digits or more is a device's: the same
    // for every such number, so asked once (see below).
    std::optional<bool> long_number_device;
    // Hidden files are taken names too: the folder lists them.
    for (const std::string& listed : folder.PlainFileNames(stem, after)) {
      const uint32_t number = NumberIn(listed, stem, after);
      if (number == 0) continue;
      // A device's name is its base (the name up to its first dot, less
      // trailing dots and blanks) and the base is a reserved word or "COM"
      // or "LPT" and one digit 1 to 9. Where the stem holds a dot, the base
      // lies in the stem whatever the number; where it holds none, the
      // base is the stem and the digits, and with two digits or more that
      // is no device's. So one test answers for every number from 10 on,
      // and only 1 to 9 ("com1.txt") need their own.
      bool device = false;
      if (number < 10) {
        device = IsReservedDeviceName(listed, syntax);
      } else {
        if (!long_number_device) {
          long_number_device = IsReservedDeviceName(listed, syntax);
        }
        device = *long_number_device;
      }
      if (device) continue;
      taken_[number] = true;
    }
  }

  bool Taken(uint32_t number) const { return taken_[number]; }

 private:
  // The number of the numbered name stem + digits + extension, 0 for any
  // other name: digits in decimal with no leading zero, at most
  // kLastNameNumber ("report01.pdf" is no numbered name of report.pdf, and
  // a number past 32 bits must not wrap onto a small one).
  static uint32_t NumberIn(std::string_view name, std::string_view stem,
                           std::string_view extension) {
    if (name.size() <= stem.size() + extension.size() ||
        !name.starts_with(stem) || !name.ends_with(extension)) {
      return 0;
    }
    const std::string_view digits =
        name.substr(stem.size(), name.size() - stem.size() - extension.size());
    constexpr size_t kMostDigits = 5;  // kLastNameNumber, 65535
    if (digits.size() > kMostDigits || digits.front() == '0') return 0;
    uint32_t number = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return 0;
      number = number * 10 + static_cast<uint32_t>(c - '0');
    }
    return number <= kLastNameNumber ? number : 0;
  }

  // One bit per number the search may try, set once the listing shows it
  // taken: 8 KiB, cleared at once rather than grown name by name.
  std::vector<bool> taken_ = std::vector<bool>(kLastNameNumber + 1, false);
};

}  // namespace

std::optional<std::string> FindFreeNumberedName(Folder& folder,
                                                std::string_view name,
                                                const PathSyntax& syntax) {
  std::optional<ListedNumbers> listed;
  // Asked of the folder once the first number is taken.
  uint32_t lookups_before_listing = 0;
  for (uint32_t number = kFirstNameNumber; number <= kLastNameNumber;
       ++number) {
    if (number > kFirstNameNumber) {
      if (lookups_before_listing == 0) {
        lookups_before_listing = LookupsBeforeListing(folder);
        // One look at the first number the lookups would not reach. Taken
        // as well, the numbers are most likely taken all the way (a
        // destination numbered into for years), and the folder is listed at
        // once instead of after the lookups: with 1,000 numbers taken, 25
        // lookups cost a sixth of the listing. Free, and the lookups end by
        // it, unless a file takes it meanwhile.
        const uint32_t ahead = kFirstNameNumber + lookups_before_listing;
        if (lookups_before_listing > 1 && ahead <= kLastNameNumber) {
          if (folder.Examine(MakeNumberedName(name, ahead, syntax)) ==
              PathKind::kMissing) {
            ++lookups_before_listing;
          } else {
            listed.emplace(folder, name, syntax);
          }
        }
      }
      if (!listed && number - kFirstNameNumber >= lookups_before_listing) {
        listed.emplace(folder, name, syntax);
      }
      if (listed && listed->Taken(number)) continue;
    }
    // A name the listing showed free is still looked up: a file put there
    // since then only sends the search on to the next number. Anything at
    // the name takes it: a folder, a device, a link that leads nowhere, as
    // well as a file.
    std::string candidate = MakeNumberedName(name, number, syntax);
    if (folder.Examine(candidate) == PathKind::kMissing) return candidate;
  }
  return std::nullopt;
}

}  // namespace stashwell
