// The Platform of the system the program was built for: Win32 on Windows,
// POSIX elsewhere. Exactly one implementation is compiled into a build.
#ifndef STASHWELL_PLATFORM_SYSTEM_PLATFORM_H_
#define STASHWELL_PLATFORM_SYSTEM_PLATFORM_H_

#include <memory>

#include "platform/platform.h"

namespace stashwell {

// argc and argv as main received them; Windows reads its own command line
// and ignores them.
std::unique_ptr<Platform> MakeSystemPlatform(int argc, char** argv);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_SYSTEM_PLATFORM_H_
