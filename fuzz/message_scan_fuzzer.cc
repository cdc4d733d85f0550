// Fuzz target: a whole run over a memory platform. The input's first byte
// chooses the switches and the destination; the rest is the message file.
// Attachments stand in two folders, the destination holds a duplicate, a
// different version and a numbered name, and stale and fresh work files
// lie beside the message. After the run: no error report, exit code 0, and
// every attachment still at its path or, with its bytes, at a destination
// path that a "Moving from" or "Duplicate of" line of the log names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/run_driver.h"
#include "support/memory_platform.h"

namespace {

using stashwell::MemoryPlatform;

// The paths of every "Moving from" or "Duplicate of" line: source, target.
std::vector<std::pair<std::string, std::string>> Named(const std::string& log) {
  std::vector<std::pair<std::string, std::string>> named;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    start = end + 2;
    struct Form {
      const char* head;
      const char* middle;
      const char* tail;
    };
    for (const Form& form : {Form{"Moving from <", "> to <", ">"},
                             Form{"Duplicate of <", "> already in <",
                                  "> - only deleting source"}}) {
      const std::string head = form.head, middle = form.middle,
                        tail = form.tail;
      if (line.compare(0, head.size(), head) != 0) continue;
      if (line.size() < head.size() + tail.size() ||
          line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
        continue;
      }
      const std::string inner =
          line.substr(head.size(), line.size() - head.size() - tail.size());
      // Names in this setup hold no "<" or ">", but a message may: take
      // every split that fits.
      for (size_t cut = inner.find(middle); cut != std::string::npos;
           cut = inner.find(middle, cut + 1)) {
        named.emplace_back(inner.substr(0, cut),
                           inner.substr(cut + middle.size()));
      }
    }
  }
  return named;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string message(reinterpret_cast<const char*>(data) + 1, size - 1);

  MemoryPlatform os;
  for (const char* folder :
       {"C:\\in", "C:\\in2", "C:\\out", "C:\\mail", "C:\\out\\folder.pdf"}) {
    os.AddDirectory(folder);
  }
  const double now = os.LocalNow();
  os.AddFile("C:\\in\\a.pdf", "A");
  os.AddFile("C:\\in\\b.txt", "");
  os.AddFile("C:\\in\\card.vcf", "BEGIN:VCARD");
  os.AddFile("C:\\in\\folder.pdf", "F");
  os.AddFile("C:\\in\\msg.log", "");
  os.AddFile("C:\\in2\\a.pdf", "A2");
  os.AddFile("C:\\in2\\eud1.tmp", "work");
  os.AddFile("C:\\out\\a.pdf", "A");
  os.AddFile("C:\\out\\b.txt", "different");
  os.AddFile("C:\\out\\b1.txt", "taken");
  os.AddFile("C:\\mail\\eud9.tmp", "stale", now - 3);
  os.AddFile("C:\\mail\\eud8.log", "fresh", now - 0.5);
  os.AddFile("C:\\mail\\msg.txt", message, now);
  const std::map<std::string, std::string> before = os.Files();

  static const char* const kDestinations[] = {
      "C:\\out",         "C:\\out\\",   "C:\\in",         "C:\\mail",
      "C:\\in\\..\\out", "C:\\missing", "C:\\out\\a.pdf", "c:/OUT"};
  const std::string destination = kDestinations[flags % 8];
  std::string command_line =
      "stashwell.exe C:\\mail\\msg.txt \"" + destination + "\"";
  if (flags & 8) command_line += " /v";
  os.SetCommandLine(command_line);

  const int exit_code = stashwell::RunProgram(os);
  if (exit_code != 0 || !os.errors.empty()) std::abort();

  const std::string log = os.FileBytes("C:\\mail\\msg.log");
  const auto named = Named(log);
  const std::string out = MemoryPlatform::Normal(destination);
  const std::map<std::string, std::string> after = os.Files();
  for (const auto& [path, bytes] : before) {
    auto now_there = after.find(path);
    if (now_there != after.end() && now_there->second == bytes) continue;
    if (path == "c:\\mail\\msg.txt" || path == "c:\\mail\\eud9.tmp") continue;
    if (now_there != after.end()) std::abort();  // changed in place
    bool found = false;
    for (const auto& [source, target] : named) {
      const std::string to = MemoryPlatform::Normal(target);
      auto there = after.find(to);
      if (MemoryPlatform::Normal(source) == path && there != after.end() &&
          there->second == bytes &&
          to.compare(0, out.size() + 1, out + "\\") == 0) {
        found = true;
      }
    }
    if (!found) std::abort();  // lost
  }
  for (const auto& [path, bytes] : after) {
    if (before.count(path) != 0 || path == "c:\\mail\\msg.log") continue;
    if (path.compare(0, out.size() + 1, out + "\\") != 0) std::abort();
  }
  return 0;
}
