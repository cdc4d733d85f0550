#include "reliability/invariant.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <utility>

namespace stashwell {
namespace fs = std::filesystem;

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.substr(text.size() - suffix.size()) == suffix;
}

// The text between prefix and suffix when line has both, with room for
// nothing overlapping.
bool Between(std::string_view line, std::string_view prefix,
             std::string_view suffix, std::string* middle) {
  if (line.size() < prefix.size() + suffix.size()) return false;
  if (!StartsWith(line, prefix) || !EndsWith(line, suffix)) return false;
  *middle = std::string(
      line.substr(prefix.size(), line.size() - prefix.size() - suffix.size()));
  return true;
}

bool IsDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> SplitLines(const std::string& text,
                                    std::string* partial) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (true) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  *partial = text.substr(start);
  return lines;
}

fs::path LexicalNormal(const std::string& path, const std::string& base) {
  fs::path p(path);
  if (p.is_relative()) p = fs::path(base) / p;
  p = p.lexically_normal();
  if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) {
    p = p.parent_path();
  }
  return p;
}

// The folder and the name of a path in normal form.
std::string FolderOf(const std::string& normal) {
  const size_t cut = normal.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : normal.substr(0, cut);
}
std::string NameOf(const std::string& normal) {
  const size_t cut = normal.find_last_of("/\\");
  return cut == std::string::npos ? normal : normal.substr(cut + 1);
}

// "eud*.log" and "eud*.tmp", without regard to case.
bool IsWorkFileName(std::string name) {
  for (char& c : name) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return StartsWith(name, "eud") && name.size() >= 7 &&
         (EndsWith(name, ".log") || EndsWith(name, ".tmp"));
}

// Source and destination of every move and duplicate the log names.
struct Named {
  std::vector<std::pair<std::string, std::string>> moves;
  std::vector<std::pair<std::string, std::string>> duplicates;
};

Named NamedInLog(const RunFacts& facts) {
  Named named;
  std::string partial;
  for (const std::string& line : SplitLines(facts.log_text, &partial)) {
    std::string middle;
    if (Between(line, "Moving from <", ">", &middle)) {
      const size_t cut = middle.find("> to <");
      if (cut == std::string::npos) continue;
      named.moves.emplace_back(middle.substr(0, cut), middle.substr(cut + 6));
    } else if (Between(line, "Duplicate of <", "> - only deleting source",
                       &middle)) {
      const size_t cut = middle.find("> already in <");
      if (cut == std::string::npos) continue;
      named.duplicates.emplace_back(middle.substr(0, cut),
                                    middle.substr(cut + 14));
    }
  }
  return named;
}

}  // namespace

std::string NormalPath(const std::string& path, const std::string& base) {
  return LexicalNormal(path, base).string();
}

TreeSnapshot TakeSnapshot(const std::string& root) {
  TreeSnapshot snapshot;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
    snapshot[it->path().lexically_normal().string()] = std::move(bytes);
  }
  return snapshot;
}

std::vector<std::string> CheckLogLines(const RunFacts& facts) {
  std::vector<std::string> problems;
  std::string partial;
  const std::vector<std::string> lines = SplitLines(facts.log_text, &partial);
  if (!partial.empty() && !facts.stopped) {
    problems.push_back("log ends inside a line: " + partial);
  }
  auto problem = [&](size_t i, const std::string& what) {
    problems.push_back("log line " + std::to_string(i + 1) + " " + what + ": " +
                       lines[i]);
  };
  // Lines that must come next: the empty line after an echo, the three
  // header lines after a report of a missing folder or file.
  std::vector<std::string_view> expected_next;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::string middle;
    if (i == 0) {
      if (line.empty()) problem(i, "is no date line");
      continue;
    }
    if (!expected_next.empty()) {
      const std::string_view header = expected_next.front();
      expected_next.erase(expected_next.begin());
      if (header.empty() ? !line.empty()
                         : !(line.empty() || StartsWith(line, header))) {
        problem(
            i, "should be empty or begin with \"" + std::string(header) + "\"");
      }
      continue;
    }
    if (Between(line, "Eudora Message File <", "> does not exist", &middle)) {
      if (middle != facts.message_file) problem(i, "names another message");
    } else if (StartsWith(line, "Attachment Line: Attachment Converted: ")) {
      expected_next = {""};
    } else if (Between(line, "Destination Directory <", "> does not exist",
                       &middle)) {
      if (middle != facts.destination_dir) problem(i, "names another folder");
      expected_next = {"From: ", "To: ", "Subject: "};
    } else if (Between(line, "Source File <", "> does not exist", &middle)) {
      expected_next = {"From: ", "To: ", "Subject: "};
    } else if (Between(line, "Moving from <", ">", &middle)) {
      if (middle.find("> to <") == std::string::npos) problem(i, "is garbled");
    } else if (Between(line, "Duplicate of <", "> - only deleting source",
                       &middle)) {
      if (middle.find("> already in <") == std::string::npos) {
        problem(i, "is garbled");
      }
    } else if (Between(line, "Different version of <", "\"", &middle)) {
      if (middle.find("> already in destination. Changing name to \"") ==
          std::string::npos) {
        problem(i, "is garbled");
      }
    } else if (Between(line, "Copy File returned error; Code ", "", &middle)) {
      if (!IsDecimal(middle)) problem(i, "has no decimal code");
    } else if (Between(line, "Error - Attachment Line longer than ",
                       " bytes (no file has so long a path)", &middle)) {
      if (!IsDecimal(middle)) problem(i, "has no decimal length");
      expected_next = {"From: ", "To: ", "Subject: "};
    } else if (Between(line, "Error - no file name in <",
                       "> (source not deleted)", &middle) ||
               Between(line, "Error - <",
                       "> is this run's own file (source not deleted)",
                       &middle) ||
               Between(line, "File <",
                       "> is already in the destination folder - left in "
                       "place",
                       &middle) ||
               Between(line, "Error - no free numbered name for <",
                       "> (source not deleted)", &middle) ||
               line ==
                   "Error - destination file not found after copy "
                   "(source not deleted)" ||
               line ==
                   "Error - copy failed and another file is at the "
                   "destination (source not deleted)" ||
               line == "Error - could not delete source file") {
    } else {
      problem(i, "is none the program writes");
    }
  }
  if (!expected_next.empty() && !facts.stopped) {
    problems.push_back("log ends before the lines that must follow its last");
  }
  return problems;
}

std::vector<std::string> CheckNothingLost(const TreeSnapshot& before,
                                          const TreeSnapshot& after,
                                          const RunFacts& facts) {
  std::vector<std::string> problems;
  auto normal = [&](const std::string& path) {
    return facts.normal(path, facts.base);
  };
  const std::string message = normal(facts.message_file);
  const std::string message_dir = FolderOf(message);
  const std::string log = normal(facts.log_path);
  const std::string destination = normal(facts.destination_dir);
  const Named named = NamedInLog(facts);

  auto in_destination = [&](const std::string& path) {
    return FolderOf(path) == destination;
  };
  // The file at path (as the log spells it) after the run holds bytes.
  auto holds = [&](const std::string& path, const std::string& bytes) {
    auto it = after.find(normal(path));
    return it != after.end() && it->second == bytes;
  };

  for (const auto& [path_text, bytes] : before) {
    const std::string& path = path_text;
    auto now = after.find(path_text);
    if (now != after.end() && now->second == bytes) continue;
    if (path == log) continue;  // an earlier log of the same message
    if (now != after.end()) {
      problems.push_back("changed in place: " + path_text);
      continue;
    }
    if (path == message && (!facts.stopped || facts.stopped_after_scan)) {
      continue;
    }
    if (FolderOf(path) == message_dir && IsWorkFileName(NameOf(path))) {
      continue;  // a stale work file the sweep may remove
    }
    bool accounted = false;
    for (const auto& [source, target] : named.moves) {
      if (normal(source) == path && in_destination(normal(target)) &&
          holds(target, bytes)) {
        accounted = true;
      }
    }
    for (const auto& [source, target] : named.duplicates) {
      // The duplicate stood there when the attachment was placed: from
      // before the run, or moved there by an earlier line of this one.
      if (normal(source) == path && in_destination(normal(target)) &&
          holds(target, bytes)) {
        accounted = true;
      }
    }
    if (!accounted && facts.log_lost_lines) {
      for (const auto& [other, other_bytes] : after) {
        if (other_bytes == bytes && in_destination(other)) {
          accounted = true;
        }
      }
    }
    if (!accounted) problems.push_back("lost: " + path_text);
  }
  for (const auto& [path_text, bytes] : after) {
    if (before.count(path_text) != 0) continue;
    if (path_text == log || in_destination(path_text)) continue;
    problems.push_back("created outside the destination folder: " + path_text);
  }
  return problems;
}

}  // namespace stashwell
