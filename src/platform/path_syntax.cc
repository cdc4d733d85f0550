#include "platform/path_syntax.h"

namespace stashwell {

std::string FolderPart(std::string_view path, const PathSyntax& syntax) {
  // The last separator and the character that starts just before it.
  size_t last = std::string_view::npos;
  size_t before_last = std::string_view::npos;
  size_t previous = std::string_view::npos;
  ForEachCharStart(path, syntax, [&](size_t i) {
    if (syntax.EndsFolder(path[i])) {
      last = i;
      before_last = previous;
    }
    previous = i;
  });
  if (last == std::string_view::npos) return std::string();
  size_t length = last + 1;
  if (path[last] == syntax.separator && last > 0 &&
      !(before_last == last - 1 && syntax.EndsFolder(path[last - 1]))) {
    length = last;
  }
  return std::string(path.substr(0, length));
}

std::string FolderPrefix(std::string_view path, const PathSyntax& syntax) {
  std::string folder = FolderPart(path, syntax);
  if (folder.empty()) return folder;
  // The folder's last character, stepping by whole characters: the second
  // byte of a double-byte character is no separator.
  const size_t last = LastCharWhere(folder, syntax, [](char) { return true; });
  if (!syntax.EndsFolder(folder[last])) folder += syntax.separator;
  return folder;
}

std::string FileNamePart(std::string_view path, const PathSyntax& syntax) {
  const size_t last = LastCharWhere(path, syntax, [&](char c) {
    return syntax.EndsFolder(c) ||
           (syntax.alternate_separator != 0 && c == syntax.alternate_separator);
  });
  if (last == std::string_view::npos) return std::string(path);
  return std::string(path.substr(last + 1));
}

std::string TemporaryName(uint64_t process, int n) {
  return kTemporaryPrefix + std::to_string(process) + "-" + std::to_string(n) +
         kTemporaryExtension;
}

}  // namespace stashwell
