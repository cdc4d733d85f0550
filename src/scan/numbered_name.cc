#include "scan/numbered_name.h"

#include <string>
#include <utility>

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

std::optional<std::string> FindFreeNumberedName(RunState& state) {
  for (uint32_t number = kFirstNameNumber; number <= kLastNameNumber;
       ++number) {
    std::string candidate =
        MakeNumberedName(state.DestinationPath, number, state.syntax);
    // Anything at the name takes it: a folder, a device, a link that leads
    // nowhere, as well as a file.
    if (state.platform.Examine(candidate) == PathKind::kMissing) {
      return candidate;
    }
  }
  return std::nullopt;
}

}  // namespace stashwell
