// The promise every run must keep, checked from the outside: every file
// that existed before a run still exists with the same bytes, at its old
// path or at a path inside the destination folder that the log names, save
// for the files a run may remove (the message file, stale work files, a
// source whose identical duplicate already stood in the destination, an
// earlier log of the same message); no file appears outside the destination
// folder except the run log; and every log line is one the program writes.
#ifndef STASHWELL_TESTS_RELIABILITY_INVARIANT_H_
#define STASHWELL_TESTS_RELIABILITY_INVARIANT_H_

#include <map>
#include <string>
#include <vector>

namespace stashwell {

// Every regular file under root, by its lexically normal path, with its
// bytes.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot TakeSnapshot(const std::string& root);

// The normal form of path; a relative path is taken from base.
std::string NormalPath(const std::string& path, const std::string& base);

// How one system writes a path in its normal form: NormalPath for the real
// file system here, the memory platform's own for a run on it.
using NormalForm = std::string (*)(const std::string& path,
                                   const std::string& base);

struct RunFacts {
  // The normal form of the system the run met: that of the snapshots' keys
  // and of log_path, whose folders are cut at "/" or "\\".
  NormalForm normal = NormalPath;
  std::string base;             // the run's working folder
  std::string message_file;     // as given on the command line
  std::string destination_dir;  // as given on the command line
  std::string log_path;         // the run log
  std::string log_text;         // the log's bytes after the run
  // The run stopped through the error report: the log may end inside a
  // line or between the lines of one report, and the message file, its
  // scan never completed, must still be there.
  bool stopped = false;
  // The run stopped only after its scan was complete: the message file may
  // be gone all the same.
  bool stopped_after_scan = false;
  // Writes to the log failed: a moved file need not be named by the log,
  // only found in the destination folder with its bytes.
  bool log_lost_lines = false;
};

// The log's lines by the program's wording. Problems, one per line.
std::vector<std::string> CheckLogLines(const RunFacts& facts);

// The files before and after the run. Problems, one per file.
std::vector<std::string> CheckNothingLost(const TreeSnapshot& before,
                                          const TreeSnapshot& after,
                                          const RunFacts& facts);

}  // namespace stashwell

#endif  // STASHWELL_TESTS_RELIABILITY_INVARIANT_H_
