// Property test: random trees of attachment and destination folders and
// random message files, each run through the real program as a child
// process, and after every run the promise that nothing is lost and that
// the log holds only lines the program writes. The same cases run on the
// memory platform too, through the program's entry in this process: names
// alike whatever their case, Windows' paths and sharing.
//
// STASHWELL_PROPERTY_SEED replays a seed (printed on failure);
// STASHWELL_PROPERTY_CASES sets how many cases run; STASHWELL_PROGRAM
// names the program to run instead of the one built beside the tests.
// STASHWELL_PROPERTY_CASE runs only the case of that number, and with
// STASHWELL_PROPERTY_KEEP naming a new folder builds it there and keeps it.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/run_driver.h"
#include "reliability/invariant.h"
#include "run/run_log.h"
#include "support/memory_platform.h"
#include "support/scratch_dir.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {
namespace fs = std::filesystem;

std::string ProgramPath() {
  if (const char* path = std::getenv("STASHWELL_PROGRAM")) return path;
#ifdef STASHWELL_PROGRAM_PATH
  return STASHWELL_PROGRAM_PATH;
#else
  return "build/native/stashwell";
#endif
}

uint64_t NumberFromEnvironment(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 0)
                                       : fallback;
}

// Starts the program in folder with arguments; stdin from /dev/null,
// stderr to a file, in a session of its own so that no terminal is asked.
pid_t StartChild(const std::string& program, const std::string& folder,
                 const std::vector<std::string>& arguments,
                 const std::string& stderr_path) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    if (chdir(folder.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int err =
        open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(in, 1);
    dup2(err, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return child;
}

int WaitChild(pid_t child) {
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunChild(const std::string& program, const std::string& folder,
             const std::vector<std::string>& arguments,
             const std::string& stderr_path) {
  return WaitChild(StartChild(program, folder, arguments, stderr_path));
}

// How often each kind of outcome was met, one line each.
void PrintCounts(const std::map<std::string, uint64_t>& seen) {
  for (const auto& [kind, count] : seen) {
    std::printf("  %-24s %llu\n", kind.c_str(),
                static_cast<unsigned long long>(count));
  }
}

// The files of one case and the run on them: the real file system and the
// program as a child, or the memory platform and the program's entry.
class CaseFiles {
 public:
  virtual ~CaseFiles() = default;
  virtual const PathSyntax& syntax() const = 0;
  virtual NormalForm normal() const = 0;
  virtual void MakeDir(const std::string& path) = 0;
  virtual bool IsDir(const std::string& path) = 0;
  virtual bool Exists(const std::string& path) = 0;
  virtual void Write(const std::string& path, const std::string& bytes) = 0;
  virtual void MakeReadOnly(const std::string& path) = 0;
  // Sets a file's times seconds back from now.
  virtual void Age(const std::string& path, double seconds) = 0;
  virtual bool Read(const std::string& path, std::string* bytes) = 0;
  virtual TreeSnapshot Snapshot(const std::string& root) = 0;
  // Runs the program in folder; true when it stopped through the error
  // report, *report its text, *exit_code its exit code.
  virtual bool Run(const std::string& folder,
                   const std::vector<std::string>& arguments, int* exit_code,
                   std::string* report) = 0;
};

class SystemCaseFiles : public CaseFiles {
 public:
  explicit SystemCaseFiles(const std::string& stderr_path)
      : stderr_path_(stderr_path) {}
  const PathSyntax& syntax() const override { return syntax_; }
  NormalForm normal() const override { return NormalPath; }
  void MakeDir(const std::string& path) override {
    std::error_code error;
    fs::create_directory(path, error);
  }
  bool IsDir(const std::string& path) override {
    return fs::is_directory(path);
  }
  bool Exists(const std::string& path) override { return fs::exists(path); }
  void Write(const std::string& path, const std::string& bytes) override {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  void MakeReadOnly(const std::string& path) override {
    chmod(path.c_str(), 0444);
  }
  void Age(const std::string& path, double seconds) override {
    const double now = std::chrono::duration<double>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    timeval times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(now - seconds);
    times[0].tv_usec = times[1].tv_usec = 0;
    utimes(path.c_str(), times);
  }
  bool Read(const std::string& path, std::string* bytes) override {
    std::ifstream in(path, std::ios::binary);
    bytes->assign(std::istreambuf_iterator<char>(in),
                  std::istreambuf_iterator<char>());
    return static_cast<bool>(in);
  }
  TreeSnapshot Snapshot(const std::string& root) override {
    return TakeSnapshot(root);
  }
  bool Run(const std::string& folder, const std::vector<std::string>& arguments,
           int* exit_code, std::string* report) override {
    *exit_code = RunChild(ProgramPath(), folder, arguments, stderr_path_);
    *report = ScratchDir::ReadOrEmpty(stderr_path_);
    return *exit_code == 1 &&
           report->rfind("Application Error: Exception EInOutError", 0) == 0;
  }

 private:
  PathSyntax syntax_ = PathSyntax::Posix();
  std::string stderr_path_;
};

class MemoryCaseFiles : public CaseFiles {
 public:
  const PathSyntax& syntax() const override { return syntax_; }
  NormalForm normal() const override { return MemoryPlatform::Normal; }
  void MakeDir(const std::string& path) override { os_.AddDirectory(path); }
  bool IsDir(const std::string& path) override {
    return os_.HasDirectory(path);
  }
  bool Exists(const std::string& path) override {
    return os_.HasFile(path) || os_.HasDirectory(path);
  }
  void Write(const std::string& path, const std::string& bytes) override {
    os_.AddFile(path, bytes, run_.now);
  }
  void MakeReadOnly(const std::string& path) override {
    os_.SetAttributes(path, kAttrReadOnly | kAttrArchive);
  }
  void Age(const std::string& path, double seconds) override {
    os_.SetWriteTime(path, run_.now - seconds / 86400);
  }
  bool Read(const std::string& path, std::string* bytes) override {
    *bytes = os_.FileBytes(path);
    return os_.HasFile(path);
  }
  TreeSnapshot Snapshot(const std::string&) override { return os_.Files(); }
  bool Run(const std::string& folder, const std::vector<std::string>& arguments,
           int* exit_code, std::string* report) override {
    os_.SetWorkingFolder(folder);
    run_.SetArguments(arguments);
    *exit_code = RunProgram(run_);
    for (const ShownBox& box : run_.boxes) {
      if (box.kind == "error") *report = box.caption + ": " + box.text;
    }
    return *exit_code == 1 &&
           report->rfind("Application Error: Exception EInOutError", 0) == 0;
  }

 private:
  PathSyntax syntax_ = PathSyntax::Windows();
  MemoryPlatform os_;
  TestPlatform run_{os_};
};

class CaseBuilder {
 public:
  CaseBuilder(uint64_t seed, const std::string& root, CaseFiles& files)
      : random_(seed), root_(root), files_(files) {}

  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }
  size_t Pick(size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(random_);
  }
  template <typename T>
  const T& OneOf(const std::vector<T>& items) {
    return items[Pick(items.size())];
  }

  std::string Content() {
    static const std::vector<std::string> kSmall = {"",   "A",  "B",
                                                    "AB", "BA", "A\r\n"};
    if (Chance(0.8)) return OneOf(kSmall);
    // Longer than one comparison block, with a variant differing only in
    // its last byte.
    std::string big(16384 + Pick(3), 'x');
    for (size_t i = 0; i < big.size(); i += 97) big[i] = 'y';
    if (Chance(0.5)) big.back() = 'z';
    return big;
  }

  void WriteFile(const std::string& path, const std::string& bytes) {
    if (files_.IsDir(path)) return;
    files_.Write(path, bytes);
    if (Chance(0.1)) files_.MakeReadOnly(path);
  }

  // Sets a file's times a few days back, or a moment ago.
  void Age(const std::string& path, bool stale) {
    files_.Age(path, stale ? 86400.0 * (2 + Pick(5)) : 3600);
  }

  // A folder as the message spells it: absolute, relative to the working
  // folder, or by a detour through "..".
  std::string Spell(const std::string& folder) {
    switch (Pick(4)) {
      case 0:
        return folder;
      case 1:
        return folder + "/../" + folder;
      default:
        return root_ + "/" + folder;
    }
  }

  std::string Quoted(const std::string& path) {
    switch (Pick(8)) {
      case 0:
        return "\"" + path + "\"";
      case 1:
        return "\"" + path + "\"";
      case 2:
        return "\"" + path;
      case 3:
        return path + "\"";
      case 4:
        return "\"" + path + "\" ";
      default:
        return path;
    }
  }

  std::vector<std::string> Build() {
    static const std::vector<std::string> kNames = {
        "report.pdf",   "report1.pdf", "README",  "archive.tar.gz",
        "card.vcf",     "CARD.VCF",    "notes.",  ".profile",
        "a b.txt",      "x*y.txt",     "q?.doc",  "eud7.tmp",
        "\xe4\xf6.txt", "msg.log",     "msg.txt", "-"};
    for (const char* folder : {"att", "att2", "dest", "mail"}) {
      files_.MakeDir(root_ + "/" + folder);
    }
    for (const char* folder : {"att", "att2"}) {
      for (const std::string& name : kNames) {
        if (Chance(0.6))
          WriteFile(root_ + "/" + folder + "/" + name, Content());
      }
    }

    // The destination: usually a folder of its own, sometimes the
    // attachments' folder or the message's, spelled in several ways, or
    // missing.
    static const std::vector<std::string> kDestinations = {
        "dest", "dest",  "dest",        "dest",   "att",
        "mail", "dest/", "att/../dest", "nodest", "dest/card.vcf"};
    std::string destination = OneOf(kDestinations);
    const std::string destination_folder = destination == "att"    ? "att"
                                           : destination == "mail" ? "mail"
                                                                   : "dest";
    if (Chance(0.6)) destination = root_ + "/" + destination;
    for (const std::string& name : kNames) {
      const std::string path = root_ + "/" + destination_folder + "/" + name;
      if (files_.Exists(path)) continue;
      if (Chance(0.05)) {
        files_.MakeDir(path);  // a folder in the way
      } else if (Chance(0.3)) {
        // Often the same bytes as an attachment of that name.
        std::string bytes;
        const bool twin = files_.Read(root_ + "/att/" + name, &bytes);
        WriteFile(path, twin && Chance(0.5) ? bytes : Content());
      }
    }
    for (const char* taken : {"report2.pdf", "README1", "archive.tar1.gz"}) {
      if (Chance(0.3)) {
        WriteFile(root_ + "/" + destination_folder + "/" + taken, Content());
      }
    }

    // The message file, usually in a folder of its own, with stale and
    // fresh work files and maybe an earlier log beside it.
    static const std::vector<std::string> kMessageNames = {
        "msg.txt", "msg.txt", "in.box.txt", "eud3.tmp", "msg.log", "msg"};
    const std::string message_folder = Chance(0.9)   ? "mail"
                                       : Chance(0.5) ? "att"
                                                     : "dest";
    const std::string message_name = OneOf(kMessageNames);
    message_ = root_ + "/" + message_folder + "/" + message_name;
    const std::string message_dir = root_ + "/" + message_folder;
    if (Chance(0.3)) {
      WriteFile(message_dir + "/eud1.log", "old log");
      Age(message_dir + "/eud1.log", true);
    }
    if (Chance(0.3)) {
      WriteFile(message_dir + "/eud2.tmp", "old");
      Age(message_dir + "/eud2.tmp", Chance(0.5));
    }
    const std::string log_path = LogPathFor(message_, files_.syntax());
    if (Chance(0.2)) WriteFile(log_path, "earlier log\r\n");

    std::string text;
    std::string last_attachment;
    const size_t lines = Pick(14);
    for (size_t i = 0; i < lines; ++i) {
      std::string line;
      switch (Pick(6)) {
        case 0:
          line = OneOf(std::vector<std::string>{"From: a@b", "To: c@d",
                                                "Subject: hello", "from: x",
                                                "Subject:x", "To: "});
          break;
        case 1:
          line = OneOf(std::vector<std::string>{"", "body text",
                                                "Attachment converted: x"});
          break;
        default:
          if (!last_attachment.empty() && Chance(0.2)) {
            line = last_attachment;
            break;
          }
          line = "Attachment Converted: " + Quoted(AttachmentPath());
          last_attachment = line;
      }
      if (Chance(0.03)) line.insert(Pick(line.size() + 1), "\r");
      if (Chance(0.02)) line.insert(Pick(line.size() + 1), "\x1a");
      text += line;
      if (i + 1 < lines || Chance(0.5)) {
        text += OneOf(std::vector<std::string>{"\n", "\r\n", "\r\n", "\r\r\n"});
      }
    }
    if (!files_.IsDir(message_)) files_.Write(message_, text);
    if (message_name == "eud3.tmp" && Chance(0.3)) Age(message_, true);
    // An attachment with the message's own name and bytes.
    if (Chance(0.1)) WriteFile(root_ + "/att/" + message_name, text);

    std::vector<std::string> arguments = {
        Chance(0.7) ? message_ : message_folder + "/" + message_name,
        destination};
    if (Chance(0.3)) {
      arguments.push_back(
          OneOf(std::vector<std::string>{"/V", "/v", "/VCF", "-V"}));
    }
    return arguments;
  }

 private:
  // The path text of an attachment line: mostly files that exist, also
  // missing ones, hostile names, the message itself and its log.
  std::string AttachmentPath() {
    static const std::vector<std::string> kNames = {"report.pdf",
                                                    "report1.pdf",
                                                    "README",
                                                    "archive.tar.gz",
                                                    "card.vcf",
                                                    "CARD.VCF",
                                                    "notes.",
                                                    ".profile",
                                                    "a b.txt",
                                                    "x*y.txt",
                                                    "q?.doc",
                                                    "eud7.tmp",
                                                    "\xe4\xf6.txt",
                                                    "msg.log",
                                                    "missing.bin",
                                                    "*.pdf",
                                                    "..",
                                                    ".",
                                                    "",
                                                    "-"};
    switch (Pick(20)) {
      case 0:
        return message_;
      case 1:
        return LogPathFor(message_, files_.syntax());
      case 2:
        return "";
      case 3:
        return Spell("dest");
      default: {
        const std::string folder = OneOf(std::vector<std::string>{
            "att", "att", "att", "att2", "dest", "mail"});
        return Spell(folder) + "/" + OneOf(kNames);
      }
    }
  }

  std::mt19937_64 random_;
  std::string root_;
  CaseFiles& files_;
  std::string message_;
};

// The parameter: the memory platform (true) or the real file system.
class PropertyTest : public testing::TestWithParam<bool> {};

TEST_P(PropertyTest, NoRunLosesAFileOrWritesAForeignLogLine) {
  const bool in_memory = GetParam();
  const uint64_t seed = NumberFromEnvironment(
      "STASHWELL_PROPERTY_SEED",
      std::random_device()() * 65536ull + std::random_device()());
  const uint64_t cases =
      NumberFromEnvironment("STASHWELL_PROPERTY_CASES", 1000);
  const std::string program = ProgramPath();
  if (!in_memory) {
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << "no program at " << program;
  }
  std::mt19937_64 seeds(seed);
  int failures = 0;
  uint64_t stopped_runs = 0;
  std::map<std::string, uint64_t> seen;  // log lines met, by kind
  const uint64_t only = NumberFromEnvironment("STASHWELL_PROPERTY_CASE", ~0ull);
  const char* keep = std::getenv("STASHWELL_PROPERTY_KEEP");
  for (uint64_t n = 0; n < cases && failures < 3; ++n) {
    const uint64_t case_seed = seeds();
    if (only != ~0ull && n != only) continue;
    ScratchDir scratch;
    std::string root = in_memory ? "C:\\case" : scratch.MakeDir("case");
    if (only != ~0ull && keep != nullptr && !in_memory) {
      root = keep;
      fs::create_directories(root);
    }
    std::unique_ptr<CaseFiles> files;
    if (in_memory) {
      files = std::make_unique<MemoryCaseFiles>();
      files->MakeDir(root);
    } else {
      files = std::make_unique<SystemCaseFiles>(scratch.Path("stderr.txt"));
    }
    CaseBuilder builder(case_seed, root, *files);
    const std::vector<std::string> arguments = builder.Build();
    const TreeSnapshot before = files->Snapshot(root);
    int exit_code = 0;
    std::string report;
    // A run may stop through the error report, for example when a folder
    // stands where the log goes; the promise holds all the same.
    const bool stopped = files->Run(root, arguments, &exit_code, &report);
    if (stopped) ++stopped_runs;
    RunFacts facts;
    facts.normal = files->normal();
    facts.stopped = stopped;
    facts.base = root;
    facts.message_file = arguments[0];
    facts.destination_dir = arguments[1];
    facts.log_path =
        facts.normal(LogPathFor(arguments[0], files->syntax()), root);
    const TreeSnapshot after = files->Snapshot(root);
    auto log = after.find(facts.log_path);
    if (log != after.end()) facts.log_text = log->second;
    for (const char* kind : {"Moving from <", "Duplicate of <",
                             "Different version of <", "Source File <"}) {
      for (size_t at = facts.log_text.find(kind); at != std::string::npos;
           at = facts.log_text.find(kind, at + 1)) {
        ++seen[kind];
      }
    }
    std::vector<std::string> problems = CheckNothingLost(before, after, facts);
    if (log != after.end()) {
      for (std::string& p : CheckLogLines(facts)) problems.push_back(p);
    }
    if (exit_code != 0 && !stopped) {
      problems.push_back("exit code " + std::to_string(exit_code) + ": " +
                         report);
    }
    if (!problems.empty()) {
      ++failures;
      std::string report;
      for (const std::string& p : problems) report += "\n  " + p;
      std::string message_text;
      auto message = before.find(facts.normal(arguments[0], root));
      if (message != before.end()) message_text = message->second;
      ADD_FAILURE() << "case " << n << " of seed " << seed
                    << " (replay: STASHWELL_PROPERTY_SEED=" << seed
                    << "), arguments:" <<
          [&] {
            std::string all;
            for (const auto& a : arguments) all += " [" + a + "]";
            return all;
          }()
                    << "\nmessage: " << testing::PrintToString(message_text)
                    << "\nlog: " << testing::PrintToString(facts.log_text)
                    << report;
    }
  }
  RecordProperty("cases", std::to_string(cases));
  std::printf(
      "property test (%s): %llu cases (%llu stopped by the error "
      "report), seed %llu\n",
      in_memory ? "memory platform" : "file system",
      static_cast<unsigned long long>(cases),
      static_cast<unsigned long long>(stopped_runs),
      static_cast<unsigned long long>(seed));
  PrintCounts(seen);
}

// The claims of one run's log: which source went where.
struct Claims {
  // Moves whose copy succeeded: destination -> source.
  std::vector<std::pair<std::string, std::string>> moved;
  // Duplicates: source -> the destination file it duplicates.
  std::vector<std::pair<std::string, std::string>> duplicates;
};

// The text between "<" and ">" that follows marker in line, or "".
std::string Bracketed(const std::string& line, const std::string& marker) {
  const size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  const size_t from = at + marker.size();
  const size_t to = line.find('>', from);
  return to == std::string::npos ? "" : line.substr(from, to - from);
}

Claims ReadClaims(const std::string& log) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < log.size();) {
    const size_t end = log.find("\r\n", at);
    if (end == std::string::npos) break;
    lines.push_back(log.substr(at, end - at));
    at = end + 2;
  }
  Claims claims;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind("Moving from <", 0) == 0) {
      const bool failed =
          i + 1 < lines.size() &&
          lines[i + 1].rfind("Copy File returned error", 0) == 0;
      if (!failed) {
        claims.moved.emplace_back(Bracketed(line, "> to <"),
                                  Bracketed(line, "Moving from <"));
      }
    } else if (line.rfind("Duplicate of <", 0) == 0) {
      claims.duplicates.emplace_back(Bracketed(line, "Duplicate of <"),
                                     Bracketed(line, "> already in <"));
    }
  }
  return claims;
}

INSTANTIATE_TEST_SUITE_P(Platforms, PropertyTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "MemoryPlatform" : "FileSystem";
                         });

// Many runs at once on one destination folder, as a mail client starts
// them for a burst of messages: every run moves attachments named alike,
// with identical, different and prefix-related contents, and some name
// another run's attachment as well. Afterwards every attachment is at its
// source or, whole, under a destination name that a log line names; no two
// runs claimed one name; no run stopped; nothing else is left behind.
//
// STASHWELL_STRESS_ROUNDS and STASHWELL_STRESS_RUNS set the size;
// STASHWELL_PROPERTY_SEED replays a seed. On the real file system only:
// the memory platform runs one program at a time (a temporary file of
// another run is a dead run's to it), so it cannot show runs that meet.
TEST(ParallelPropertyTest, ParallelRunsOnOneDestinationLoseNothing) {
  const uint64_t seed = NumberFromEnvironment(
      "STASHWELL_PROPERTY_SEED",
      std::random_device()() * 65536ull + std::random_device()());
  const uint64_t rounds = NumberFromEnvironment("STASHWELL_STRESS_ROUNDS", 20);
  const uint64_t runs = NumberFromEnvironment("STASHWELL_STRESS_RUNS", 16);
  const std::string program = ProgramPath();
  ASSERT_EQ(access(program.c_str(), X_OK), 0) << "no program at " << program;
  std::mt19937_64 random(seed);
  auto pick = [&](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(random);
  };
  auto noise = [&](size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
      const uint64_t word = random();
      std::memcpy(bytes.data() + i, &word, std::min<size_t>(8, size - i));
    }
    return bytes;
  };
  // Mostly small files, some over a comparison block, a few large enough
  // that copies overlap.
  auto size = [&] {
    const size_t kind = pick(10);
    return kind < 2 ? 0 : kind < 7 ? pick(40000) : pick(400000);
  };
  std::map<std::string, uint64_t> seen;
  for (uint64_t round = 0; round < rounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " of seed " +
                 std::to_string(seed));
    ScratchDir scratch;
    const std::string dest = scratch.MakeDir("dest");
    const std::string shared = noise(size());
    std::map<std::string, std::string> sources;  // path -> bytes
    std::vector<std::string> messages;
    for (uint64_t i = 0; i < runs; ++i) {
      const std::string folder = scratch.MakeDir("run" + std::to_string(i));
      std::string text;
      for (const char* name : {"report.pdf", "notes.txt"}) {
        std::string bytes;
        switch (pick(3)) {
          case 0:
            bytes = shared;
            break;
          case 1:
            bytes = shared.substr(0, pick(shared.size() + 1));
            break;
          default:
            bytes = noise(size());
        }
        const std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        sources[path] = bytes;
        text += "Attachment Converted: " + path + "\r\n";
      }
      // Now and then the attachment of another run as well.
      if (i > 0 && pick(4) == 0) {
        text += "Attachment Converted: " + scratch.path() + "/run" +
                std::to_string(pick(i)) + "/report.pdf\r\n";
      }
      std::ofstream(folder + "/msg.txt", std::ios::binary) << text;
      messages.push_back(folder + "/msg.txt");
    }
    std::vector<pid_t> children;
    for (uint64_t i = 0; i < runs; ++i) {
      children.push_back(StartChild(program, scratch.path(),
                                    {messages[i], dest},
                                    messages[i] + ".stderr"));
    }
    for (uint64_t i = 0; i < runs; ++i) {
      EXPECT_EQ(WaitChild(children[i]), 0)
          << ScratchDir::ReadOrEmpty(messages[i] + ".stderr");
    }

    std::map<std::string, std::string> claimed;  // destination -> source
    std::map<std::string, std::string> placed;   // source -> destination
    for (const std::string& message : messages) {
      const std::string log = ScratchDir::ReadOrEmpty(
          message.substr(0, message.size() - 4) + ".log");
      const Claims claims = ReadClaims(log);
      for (const auto& [to, from] : claims.moved) {
        ++seen["moved"];
        EXPECT_TRUE(claimed.emplace(to, from).second)
            << to << " claimed by " << claimed[to] << " and " << from;
        placed[from] = to;
      }
      for (const auto& [from, to] : claims.duplicates) {
        ++seen["duplicate"];
        placed.emplace(from, to);
      }
    }
    for (const auto& [path, bytes] : sources) {
      std::string now;
      if (ScratchDir::Read(path, &now)) {
        ++seen["kept"];
        EXPECT_EQ(now, bytes) << path << " changed";
        continue;
      }
      const auto where = placed.find(path);
      ASSERT_NE(where, placed.end()) << path << " gone, named by no log";
      EXPECT_EQ(ScratchDir::ReadOrEmpty(where->second), bytes)
          << path << " is not whole at " << where->second;
    }
    for (const auto& entry : fs::directory_iterator(dest)) {
      EXPECT_EQ(claimed.count(entry.path().string()), 1u)
          << entry.path() << " is named by no log";
    }
  }
  std::printf("parallel runs: %llu rounds of %llu runs, seed %llu\n",
              static_cast<unsigned long long>(rounds),
              static_cast<unsigned long long>(runs),
              static_cast<unsigned long long>(seed));
  PrintCounts(seen);
}

}  // namespace
}  // namespace stashwell

#endif  // _WIN32
