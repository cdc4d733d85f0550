// Fuzz target: splitting a Windows command-line text into arguments.
// Checked against a plain model of the splitting rules (no double-byte
// code page), and, with the lead bytes of code page 932, for the shape of
// the result: no argument is empty, and CountArguments and GetArgument
// agree with the list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

using stashwell::PathSyntax;

unsigned Code(const std::string& text, size_t at) {
  return static_cast<unsigned char>(text[at]);
}

// One argument from pos: control characters, blanks and adjacent quote
// pairs are skipped first; the argument then runs while the code is above
// 32, a quote opening a stretch that runs to the next quote or the end.
std::string TakeModel(const std::string& text, size_t* pos) {
  size_t i = *pos;
  for (;;) {
    if (i < text.size() && Code(text, i) >= 1 && Code(text, i) <= 32) {
      ++i;
    } else if (i + 1 < text.size() && text[i] == '"' && text[i + 1] == '"') {
      i += 2;
    } else {
      break;
    }
  }
  std::string argument;
  while (i < text.size() && Code(text, i) > 32) {
    if (text[i] != '"') {
      argument += text[i++];
      continue;
    }
    for (++i; i < text.size() && text[i] != '"'; ++i) argument += text[i];
    if (i < text.size()) ++i;
  }
  *pos = i;
  return argument;
}

std::vector<std::string> SplitModel(const std::string& text) {
  size_t pos = 0;
  TakeModel(text, &pos);
  std::vector<std::string> arguments;
  for (std::string a = TakeModel(text, &pos); !a.empty();
       a = TakeModel(text, &pos)) {
    arguments.push_back(a);
  }
  return arguments;
}

void CheckShape(const std::vector<std::string>& arguments) {
  if (stashwell::CountArguments(arguments) !=
      static_cast<int>(arguments.size())) {
    std::abort();
  }
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i].empty()) std::abort();
    if (stashwell::GetArgument(arguments, static_cast<int>(i) + 1) !=
        arguments[i]) {
      std::abort();
    }
  }
  if (!stashwell::GetArgument(arguments, static_cast<int>(arguments.size()) + 1)
           .empty()) {
    std::abort();
  }
  (void)stashwell::IsVcfSwitch(arguments);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  stashwell::CommandLine command_line;
  command_line.is_text = true;
  command_line.text.assign(reinterpret_cast<const char*>(data), size);

  const PathSyntax windows = PathSyntax::Windows();
  const std::vector<std::string> arguments =
      stashwell::SplitArguments(command_line, windows);
  CheckShape(arguments);
  if (arguments != SplitModel(command_line.text)) std::abort();
  for (const std::string& argument : arguments) {
    if (argument.find('"') != std::string::npos) std::abort();
    (void)stashwell::FolderPart(argument, windows);
  }

  // Code page 932: lead bytes 0x81-0x9F and 0xE0-0xFC.
  PathSyntax japanese = PathSyntax::Windows();
  for (int b = 0x81; b <= 0xFC; ++b) {
    japanese.lead_byte[b] = b <= 0x9F || b >= 0xE0;
  }
  const std::vector<std::string> dbcs =
      stashwell::SplitArguments(command_line, japanese);
  CheckShape(dbcs);
  for (const std::string& argument : dbcs) {
    (void)stashwell::FolderPart(argument, japanese);
  }
  return 0;
}
