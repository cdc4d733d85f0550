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

bool IsOwnFolderName(std::string_view name) {
  for (const char* own : kOwnFolders) {
    if (EqualsIgnoringAsciiCase(name, own)) return true;
  }
  return false;
}

std::string TemporaryName(uint64_t process, int n) {
  return kTemporaryPrefix + std::to_string(process) + "-" + std::to_string(n) +
         kTemporaryExtension;
}

std::optional<uint64_t> TemporaryNameProcess(std::string_view name) {
  constexpr std::string_view prefix = kTemporaryPrefix;
  constexpr std::string_view extension = kTemporaryExtension;
  if (!name.starts_with(prefix) || !name.ends_with(extension)) {
    return std::nullopt;
  }
  name.remove_prefix(prefix.size());
  name.remove_suffix(extension.size());
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 19) {
    return std::nullopt;
  }
  uint64_t process = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (i == dash) continue;
    if (c < '0' || c > '9' || (i > dash && name.size() == dash + 1)) {
      return std::nullopt;
    }
    if (i < dash) process = process * 10 + static_cast<uint64_t>(c - '0');
  }
  if (dash + 1 == name.size()) return std::nullopt;
  return process;
}

}  // namespace stashwell
