#include "platform/windows_names.h"

#include <string>

namespace stashwell {
bool IsReservedDeviceName(std::string_view path, const PathSyntax& syntax) {
  const size_t last = LastCharWhere(
      path, syntax, [&](char c) { return syntax.EndsFolder(c) || c == '/'; });
  std::string_view name =
      last == std::string_view::npos ? path : path.substr(last + 1);
  // Windows drops trailing dots and blanks, and the extension does not
  // matter: "CON.txt" opens the console like "con".
  const size_t dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) {
    name.remove_suffix(1);
  }
  const std::string base = AsciiUpperCase(name);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") {
    return true;
  }
  return base.size() == 4 &&
         (base.starts_with("COM") || base.starts_with("LPT")) &&
         base[3] >= '1' && base[3] <= '9';
}

bool NamesNoDiskFile(std::string_view path, const PathSyntax& syntax) {
  return path.starts_with(kDevicePrefix) || IsReservedDeviceName(path, syntax);
}

bool HasWildcard(std::string_view path) {
  if (path.starts_with(kLongPathPrefix)) {
    path.remove_prefix(kLongPathPrefix.size());
  }
  // Trail bytes of double-byte characters start at 0x40, so neither '*'
  // (0x2A) nor '?' (0x3F) can be the second half of one.
  return path.find_first_of("*?") != std::string_view::npos;
}

}  // namespace stashwell
