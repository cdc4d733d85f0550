#include "app/command_line.h"

namespace stashwell {
namespace {

// Takes one argument from text at *pos by the Windows rules and advances
// *pos past it. An empty result means the text has ended.
std::string TakeArgument(std::string_view text, size_t* pos,
                         const PathSyntax& syntax) {
  size_t i = *pos;
  auto code = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  for (;;) {
    if (i < text.size() && code(i) >= 1 && code(i) <= 32) {
      ++i;
    } else if (i + 1 < text.size() && text[i] == '"' && text[i + 1] == '"') {
      i += 2;
    } else {
      break;
    }
  }
  std::string argument;
  while (i < text.size() && code(i) > 32) {
    if (text[i] == '"') {
      ++i;
      while (i < text.size() && text[i] != '"') {
        if (syntax.IsLeadByte(text[i]) && i + 1 < text.size()) {
          argument += text[i++];
        }
        argument += text[i++];
      }
      if (i < text.size()) ++i;  // the closing quote
    } else {
      if (syntax.IsLeadByte(text[i]) && i + 1 < text.size()) {
        argument += text[i++];
      }
      argument += text[i++];
    }
  }
  *pos = i;
  return argument;
}

}  // namespace

std::vector<std::string> SplitArguments(const CommandLine& command_line,
                                        const PathSyntax& syntax) {
  std::vector<std::string> arguments;
  if (!command_line.is_text) {
    for (const std::string& argument : command_line.argv) {
      if (argument.empty()) break;
      arguments.push_back(argument);
    }
    return arguments;
  }
  size_t pos = 0;
  TakeArgument(command_line.text, &pos, syntax);  // the program's own path
  for (;;) {
    std::string argument = TakeArgument(command_line.text, &pos, syntax);
    if (argument.empty()) break;
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

int CountArguments(const std::vector<std::string>& arguments) {
  return static_cast<int>(arguments.size());
}

std::string GetArgument(const std::vector<std::string>& arguments, int n) {
  if (n < 1 || n > CountArguments(arguments)) return std::string();
  return arguments[static_cast<size_t>(n - 1)];
}

bool IsVcfSwitch(const std::vector<std::string>& arguments) {
  if (CountArguments(arguments) <= 2) return false;
  return AsciiUpperCase(GetArgument(arguments, 3)) == "/V";
}

InfoRequest FindInfoRequest(const std::vector<std::string>& arguments) {
  const std::string first = GetArgument(arguments, 1);
  if (first == "--help" || first == "-h") return InfoRequest::kHelp;
  if (first == "--version") return InfoRequest::kVersion;
  return InfoRequest::kNone;
}

std::string HelpText() {
  return "Usage: stashwell MESSAGE-FILE DESTINATION-FOLDER [/V]\n"
         "Moves every attachment file named by an \"Attachment Converted: \"\n"
         "line of MESSAGE-FILE into DESTINATION-FOLDER: under its own name,\n"
         "not at all when an identical file has the name (only the source is\n"
         "deleted), or under a numbered name. A log is kept beside\n"
         "MESSAGE-FILE.\n"
         "\n"
         "MESSAGE-FILE is deleted after it has been read: give it one\n"
         "message written for this run (a copy), never a mailbox or a\n"
         "message you want to keep.\n"
         "\n"
         "  /V          move only *.vcf attachments (third argument)\n"
         "  -h, --help  print this help and exit\n"
         "  --version   print the version and exit\n"
         "\n"
         "See stashwell(1) and /usr/share/doc/stashwell/guide.md.gz.\n";
}

std::string VersionText(std::string_view version) {
  return "stashwell " + std::string(version) + "\n";
}

}  // namespace stashwell
