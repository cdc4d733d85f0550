// How paths are spelled on one system: which characters separate folders
// and which bytes lead a double-byte character of the ANSI code page. Pure
// path rules take a PathSyntax, so their tests run the Windows rules on
// every system.
#ifndef STASHWELL_PLATFORM_PATH_SYNTAX_H_
#define STASHWELL_PLATFORM_PATH_SYNTAX_H_

#include <array>
#include <cstddef>
#include <string_view>

namespace stashwell {

struct PathSyntax {
  // Joins a folder and a name; ends a folder name in every rule.
  char separator = '\\';
  // ':' ends a folder name too (a drive letter).
  bool drive_colon = true;
  // A further character that ends the last component when a file name is
  // taken from a path ('/' on Windows), so no name can climb out of the
  // folder it is joined to. Only the file-name rule uses it. 0 for none.
  char alternate_separator = '/';
  // lead_byte[b]: b starts a double-byte character.
  std::array<bool, 256> lead_byte{};
  // The longest path, in bytes, that the system can open: Windows' long
  // paths reach 32767 characters; POSIX systems set their PATH_MAX less
  // its terminating NUL.
  size_t max_path = 32767;

  bool IsLeadByte(char c) const {
    return lead_byte[static_cast<unsigned char>(c)];
  }
  // True for "\" (or "/" on POSIX) and, on Windows, ":".
  bool EndsFolder(char c) const {
    return c == separator || (drive_colon && c == ':');
  }

  static PathSyntax Windows() { return PathSyntax{}; }
  static PathSyntax Posix() { return PathSyntax{'/', false, 0, {}, 4095}; }
};

// Calls visit(index) for the index of the first byte of every character of
// text, stepping over the second byte of double-byte characters. A lead
// byte at the very end stands alone.
template <typename Visit>
void ForEachCharStart(std::string_view text, const PathSyntax& syntax,
                      Visit visit) {
  for (size_t i = 0; i < text.size(); ++i) {
    visit(i);
    if (syntax.IsLeadByte(text[i]) && i + 1 < text.size()) ++i;
  }
}

// Index of the last character of text for which test(c) holds, counting
// only first bytes of characters; npos when none.
template <typename Test>
size_t LastCharWhere(std::string_view text, const PathSyntax& syntax,
                     Test test) {
  size_t found = std::string_view::npos;
  ForEachCharStart(text, syntax, [&](size_t i) {
    if (test(text[i])) found = i;
  });
  return found;
}

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_PATH_SYNTAX_H_
