// The program's entry: builds the system's platform and runs.
#include "app/run_driver.h"
#include "platform/system_platform.h"

#ifndef _WIN32
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
  // On POSIX systems --help and --version answer on standard output; the
  // Windows program keeps the mail filter's command line as it is.
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0),
                                           argv + argc);
  const stashwell::InfoRequest request = stashwell::FindInfoRequest(arguments);
  if (request != stashwell::InfoRequest::kNone) {
    const std::string text = request == stashwell::InfoRequest::kHelp
                                 ? stashwell::HelpText()
                                 : stashwell::VersionText(STASHWELL_VERSION);
    return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? 1
                                                                            : 0;
  }
#endif
  const auto os = stashwell::MakeSystemPlatform(argc, argv);
  return stashwell::RunProgram(*os);
}
