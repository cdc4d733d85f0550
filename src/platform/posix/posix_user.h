// The user on POSIX: message boxes become lines on stderr, the yes/no
// question goes to the controlling terminal, and the desktop opens files.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_USER_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_USER_H_

#include <string>

namespace stashwell {

// Writes caption, ": ", text and a line end to stderr.
void WriteMessageLine(const std::string& text, const std::string& caption);

// Asks on the controlling terminal: caption, ": ", text, " [y/N] ", then
// reads one line; true only for an answer beginning with y or Y. With no
// terminal the question and the answer "n" go to stderr and the answer is
// No.
bool AskOnTerminal(const std::string& text, const std::string& caption);

// Starts the desktop's opener (xdg-open, or open on macOS) on path without
// waiting for it; its output goes nowhere. When the opener cannot be
// started (not installed), a line on stderr says so and names the log.
void OpenWithDesktop(const std::string& path);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_USER_H_
