#include "platform/posix/posix_user.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

namespace stashwell {
namespace {

// Writes all of text to fd; false when it cannot.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads one line (without its end) from fd; false when nothing at all can
// be read.
bool ReadLine(int fd, std::string* line) {
  bool any = false;
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') return true;
    *line += c;
  }
}

}  // namespace

void WriteMessageLine(const std::string& text, const std::string& caption) {
  const std::string line = caption + ": " + text + "\n";
  std::fflush(stderr);
  WriteAll(STDERR_FILENO, line);
}

bool AskOnTerminal(const std::string& text, const std::string& caption) {
  const std::string question = caption + ": " + text + " [y/N] ";
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) {
    std::fflush(stderr);
    WriteAll(STDERR_FILENO, question + "n\n");
    return false;
  }
  std::string answer;
  const bool asked = WriteAll(tty, question) && ReadLine(tty, &answer);
  close(tty);
  return asked && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void OpenWithDesktop(const std::string& path) {
#ifdef __APPLE__
  const char* opener = "open";
  const char* package_hint = "";
#else
  const char* opener = "xdg-open";
  const char* package_hint = " (it comes with xdg-utils)";
#endif
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  std::string opener_arg = opener;
  std::string path_arg = path;
  char* const args[] = {opener_arg.data(), path_arg.data(), nullptr};
  pid_t child;
  // The run does not wait for the opener; the process ends soon after.
  const int failed =
      posix_spawnp(&child, opener, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    // The user answered Yes and sees nothing open: say why, and where the
    // log is.
    std::fflush(stderr);
    WriteAll(STDERR_FILENO, std::string("stashwell: cannot open the log: ") +
                                opener + " is not installed" + package_hint +
                                "; the log is " + path + "\n");
  }
}

}  // namespace stashwell
