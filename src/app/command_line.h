// The command line: splitting a Windows command-line text into arguments,
// the "/V" switch and the folder part of a path. Pure rules.
#ifndef STASHWELL_APP_COMMAND_LINE_H_
#define STASHWELL_APP_COMMAND_LINE_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/path_syntax.h"
#include "platform/platform.h"

namespace stashwell {

// The arguments after the program's own path, up to the first empty one.
// A text is split by the Windows rules: control characters and blanks
// separate, adjacent quote pairs at an argument's start are skipped, quoted
// stretches join their neighbours and keep blanks, an unclosed quote runs
// to the end. Lead bytes of double-byte characters are never taken for a
// quote. Already split arguments (POSIX) are cut at the first empty one.
std::vector<std::string> SplitArguments(const CommandLine& command_line,
                                        const PathSyntax& syntax);

// CountArguments and GetArgument over the split arguments.
int CountArguments(const std::vector<std::string>& arguments);
// The n-th argument (from 1), or an empty text when there are fewer.
std::string GetArgument(const std::vector<std::string>& arguments, int n);

// True when the third argument, upper-cased by the ASCII rule, is "/V".
bool IsVcfSwitch(const std::vector<std::string>& arguments);

// What a POSIX command line asks for instead of a run: "--help" or "-h"
// as the first argument asks for the help text, "--version" for the
// version. Nothing else does, and later arguments are never looked at. The
// Windows program has no such switches: its command line is the mail
// filter's, unchanged.
enum class InfoRequest { kNone, kHelp, kVersion };
InfoRequest FindInfoRequest(const std::vector<std::string>& arguments);

// The text --help prints: the synopsis, what a run does to the message
// file, and the switches.
std::string HelpText();

// The text --version prints: "stashwell " and the version.
std::string VersionText(std::string_view version);

}  // namespace stashwell

#endif  // STASHWELL_APP_COMMAND_LINE_H_
