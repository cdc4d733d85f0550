#include "app/command_line.h"

#include <gtest/gtest.h>

namespace stashwell {
namespace {

using Arguments = std::vector<std::string>;

Arguments Split(const std::string& text,
                const PathSyntax& syntax = PathSyntax::Windows()) {
  CommandLine command_line;
  command_line.is_text = true;
  command_line.text = text;
  return SplitArguments(command_line, syntax);
}

TEST(SplitArguments, WindowsCommandLines) {
  const struct {
    const char* text;
    Arguments expected;
  } cases[] = {
      {"stashwell.exe", {}},
      {"stashwell.exe   ", {}},
      {"\"C:\\Program Files\\stashwell.exe\" a b", {"a", "b"}},
      {"x \"C:\\My Mail\\in 1.txt\" \"D:\\Saved Files\" /v",
       {"C:\\My Mail\\in 1.txt", "D:\\Saved Files", "/v"}},
      // Quoted and unquoted stretches join into one argument.
      {"x a\"b c\"d e", {"ab cd", "e"}},
      {"x a\tb", {"a", "b"}},
      {"x a\r\nb\x01"
       "c",
       {"a", "b", "c"}},
      // An empty quote pair between arguments is neither counted nor
      // returned.
      {"x \"\" a b", {"a", "b"}},
      {"x \"\"\"\" a", {"a"}},
      // An unclosed quote takes everything to the end.
      {"x \"C:\\My Mail\\in.txt", {"C:\\My Mail\\in.txt"}},
      {"x a \"b c", {"a", "b c"}},
      // A lone quote at the end is an empty argument: the list ends there.
      {"x a \"", {"a"}},
      // An empty pair inside an argument is simply dropped.
      {"x a\"\"b", {"ab"}},
      // Bytes above 127 belong to the argument.
      {"x \xE9t\xE9 b", {"\xE9t\xE9", "b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Split(c.text), c.expected) << c.text;
  }
}

TEST(SplitArguments, TrailBytesOfDoubleByteCharactersAreNoQuotes) {
  PathSyntax shift_jis = PathSyntax::Windows();
  for (int b = 0x81; b <= 0x9F; ++b) shift_jis.lead_byte[b] = true;
  // 0x81 0x22 is one character: its trail byte is not a quote.
  EXPECT_EQ(Split("x \"a\x81\"b\" c", shift_jis), Arguments({"a\x81\"b", "c"}));
  EXPECT_EQ(Split("x a\x81\" b", shift_jis), Arguments({"a\x81\"", "b"}));
  // Without the code page the same bytes split differently.
  EXPECT_EQ(Split("x a\x81\" b", PathSyntax::Windows()),
            Arguments({"a\x81 b"}));
}

TEST(SplitArguments, PosixArgumentsEndAtTheFirstEmptyOne) {
  CommandLine command_line;
  command_line.argv = {"msg.txt", "", "dest"};
  EXPECT_EQ(SplitArguments(command_line, PathSyntax::Posix()),
            Arguments({"msg.txt"}));
  command_line.argv = {"a b", "\"c\"", "/V"};
  EXPECT_EQ(SplitArguments(command_line, PathSyntax::Posix()),
            Arguments({"a b", "\"c\"", "/V"}));
}

TEST(GetArgument, PositionsFromOneAndEmptyBeyondTheEnd) {
  const Arguments arguments = {"a", "b"};
  EXPECT_EQ(CountArguments(arguments), 2);
  EXPECT_EQ(GetArgument(arguments, 1), "a");
  EXPECT_EQ(GetArgument(arguments, 2), "b");
  EXPECT_EQ(GetArgument(arguments, 3), "");
  EXPECT_EQ(GetArgument(arguments, 0), "");
}

TEST(IsVcfSwitch, OnlyAThirdArgumentOfExactlySlashV) {
  const struct {
    Arguments arguments;
    bool expected;
  } cases[] = {
      {{"m", "d", "/V"}, true},       {{"m", "d", "/v"}, true},
      {{"m", "d", "/V", "x"}, true},  {{"m", "d"}, false},
      {{"m", "d", "x", "/V"}, false}, {{"m", "d", "/VCF"}, false},
      {{"m", "d", "-V"}, false},      {{"m", "d", "/V "}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsVcfSwitch(c.arguments), c.expected)
        << ::testing::PrintToString(c.arguments);
  }
  // Quotes are removed before the test.
  EXPECT_TRUE(IsVcfSwitch(Split("x m d \"/V\"")));
}

TEST(FindInfoRequest, OnlyTheFirstArgumentAsksForHelpOrTheVersion) {
  const struct {
    Arguments arguments;
    InfoRequest expected;
  } cases[] = {
      {{"--help"}, InfoRequest::kHelp},
      {{"-h"}, InfoRequest::kHelp},
      {{"--version"}, InfoRequest::kVersion},
      {{"--help", "--version"}, InfoRequest::kHelp},
      {{"--version", "--help"}, InfoRequest::kVersion},
      {{"--help", "dest"}, InfoRequest::kHelp},
      {{}, InfoRequest::kNone},
      {{"msg.txt", "--help"}, InfoRequest::kNone},
      {{"msg.txt", "dest", "--version"}, InfoRequest::kNone},
      {{"--HELP"}, InfoRequest::kNone},
      {{"-help"}, InfoRequest::kNone},
      {{"/?"}, InfoRequest::kNone},
      {{"/V"}, InfoRequest::kNone},
      {{"--help=x"}, InfoRequest::kNone},
      {{"./--help", "dest"}, InfoRequest::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindInfoRequest(c.arguments), c.expected)
        << ::testing::PrintToString(c.arguments);
  }
}

TEST(HelpText, NamesTheArgumentsAndWarnsThatTheMessageFileIsDeleted) {
  const std::string help = HelpText();
  EXPECT_EQ(help.rfind("Usage: stashwell MESSAGE-FILE DESTINATION-FOLDER "
                       "[/V]\n",
                       0),
            0u)
      << help;
  for (const char* text : {"MESSAGE-FILE is deleted", "never a mailbox", "/V",
                           "--help", "--version", "stashwell(1)"}) {
    EXPECT_NE(help.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(help.back(), '\n');
  EXPECT_EQ(VersionText("1.2.3"), "stashwell 1.2.3\n");
}

TEST(FolderPart, WindowsPaths) {
  const struct {
    const char* path;
    const char* folder;
  } cases[] = {
      {"C:\\Mail\\In\\msg17.txt", "C:\\Mail\\In"},
      {"C:\\msg17.txt", "C:\\"},
      {"C:msg17.txt", "C:"},
      {"\\msg17.txt", "\\"},
      {"msg17.txt", ""},
      {"\\\\server\\share\\m.txt", "\\\\server\\share"},
      {"C:\\Mail\\\\m.txt", "C:\\Mail\\\\"},
      {"C:/Mail/m.txt", "C:"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FolderPart(c.path, PathSyntax::Windows()), c.folder) << c.path;
  }
}

TEST(FolderPart, DoubleByteTrailBackslashIsNoSeparator) {
  PathSyntax shift_jis = PathSyntax::Windows();
  for (int b = 0x81; b <= 0x9F; ++b) shift_jis.lead_byte[b] = true;
  // "\x95\x5C" is one character whose second byte looks like a backslash.
  EXPECT_EQ(FolderPart("C:\\a\x95\\\\m.txt", shift_jis), "C:\\a\x95\\");
  EXPECT_EQ(FolderPart("C:\\a\x95\\m.txt", shift_jis), "C:\\");
}

TEST(FolderPart, PosixPaths) {
  const PathSyntax posix = PathSyntax::Posix();
  EXPECT_EQ(FolderPart("/var/mail/msg.txt", posix), "/var/mail");
  EXPECT_EQ(FolderPart("/msg.txt", posix), "/");
  EXPECT_EQ(FolderPart("msg.txt", posix), "");
  EXPECT_EQ(FolderPart("C:\\x\\msg.txt", posix), "");
}

// The stale-file sweep joins its masks to this: a message path without a
// folder part stays in the current folder, never a root.
TEST(FolderPrefix, JoinsIntoTheMessagesOwnFolder) {
  PathSyntax shift_jis = PathSyntax::Windows();
  for (int b = 0x81; b <= 0x9F; ++b) shift_jis.lead_byte[b] = true;
  const PathSyntax posix = PathSyntax::Posix();
  const struct {
    const char* path;
    const PathSyntax& syntax;
    const char* prefix;
  } cases[] = {
      {"m.txt", PathSyntax::Windows(), ""},
      {"C:\\Mail\\In\\m.txt", PathSyntax::Windows(), "C:\\Mail\\In\\"},
      {"C:\\m.txt", PathSyntax::Windows(), "C:\\"},
      {"C:m.txt", PathSyntax::Windows(), "C:"},
      {"\\m.txt", PathSyntax::Windows(), "\\"},
      {"\\\\server\\share\\m.txt", PathSyntax::Windows(),
       "\\\\server\\share\\"},
      {"C:\\a\x95\\\\m.txt", shift_jis, "C:\\a\x95\\\\"},
      {"m.txt", posix, ""},
      {"/m.txt", posix, "/"},
      {"/var/mail/m.txt", posix, "/var/mail/"},
      {"mail/m.txt", posix, "mail/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FolderPrefix(c.path, c.syntax), c.prefix) << c.path;
  }
}

}  // namespace
}  // namespace stashwell
