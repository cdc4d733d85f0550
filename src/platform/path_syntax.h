// How paths are spelled on one system: which characters separate folders
// and which bytes lead a double-byte character of the ANSI code page. Pure
// path rules take a PathSyntax, so their tests run the Windows rules on
// every system.
#ifndef STASHWELL_PLATFORM_PATH_SYNTAX_H_
#define STASHWELL_PLATFORM_PATH_SYNTAX_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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

// ASCII letter case, the only case the program folds: Windows' own rules
// for names and switches, whatever the code page's other letters.
inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
inline std::string AsciiLowerCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = AsciiLower(c);
  return folded;
}
inline std::string AsciiUpperCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = AsciiUpper(c);
  return folded;
}
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return AsciiLowerCase(a) == AsciiLowerCase(b);
}

// The folder part of a path: up to and including its last separator (or
// ':' on Windows), that separator dropped unless it is the first character
// or follows another separator or ':'. Empty when there is none.
std::string FolderPart(std::string_view path, const PathSyntax& syntax);

// What a file name is joined to so that it lands in the folder of path:
// FolderPart followed by one separator, or FolderPart alone when it already
// ends in one (a root) or in ':' (a drive's current folder). Empty when
// path has no folder part: the file is in the current folder, never in a
// root.
std::string FolderPrefix(std::string_view path, const PathSyntax& syntax);

// The file-name part of a path: the text after its last separator, ':' on
// Windows, or alternate separator ('/' on Windows), stepping by whole
// characters of the code page. A path with none of them is its own name.
std::string FileNamePart(std::string_view path, const PathSyntax& syntax);

// The name of a temporary file that a copy writes before it publishes it:
// ".stashwell-<process>-<n>.tmp". The leading dot hides it on POSIX; the
// Windows copy sets the hidden attribute.
std::string TemporaryName(uint64_t process, int n);
// The process number in a name TemporaryName made; nothing for any other
// name.
std::optional<uint64_t> TemporaryNameProcess(std::string_view name);
// The hidden folder of the program's own inside a destination folder where
// a copy keeps its temporary file when it cannot have an unnamed one. No
// attachment is ever placed in it, so a later run can remove what a killed
// run left there without ever touching an attachment; it is removed when
// empty.
inline constexpr char kOwnFolder[] = ".stashwell";
// The names the program's own folder may take, in the order a copy tries
// them: the first that is a real folder of the run's user (no link, no
// reparse point) is used, so a file, a link or another user's folder under
// the first name never fails a copy.
inline constexpr const char* kOwnFolders[] = {kOwnFolder, ".stashwell-1",
                                              ".stashwell-2", ".stashwell-3"};
// True when name is one of kOwnFolders, letter case aside as file systems
// that ignore case see it: no attachment is placed under such a name.
bool IsOwnFolderName(std::string_view name);
inline constexpr char kTemporaryPrefix[] = ".stashwell-";
inline constexpr char kTemporaryExtension[] = ".tmp";

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_PATH_SYNTAX_H_
