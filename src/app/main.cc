// The program's entry: builds the system's platform and runs.
#include "app/run_driver.h"
#include "platform/system_platform.h"

int main(int argc, char** argv) {
  const auto os = stashwell::MakeSystemPlatform(argc, argv);
  return stashwell::RunProgram(*os);
}
