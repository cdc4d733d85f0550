// An adversary at every step of a run. Each scenario is run once through
// the platform to count its file-system calls; then once for every
// call boundary k and every action of a table of what the world may do
// (the mail client, another run, someone planting a link), with the action
// taken just before call k. After every run:
// - every content that existed when the action was taken, or at the start,
//   is whole in some file (a duplicate's source whose bytes are in the
//   destination among them), unless the action itself destroyed it;
// - nothing planted outside the run's own files changed;
// - an attachment whose bytes are not in the destination left an error
//   (the question about the log was asked), and nothing of the program's
//   own is left in the destination;
// - no device name was opened.
// Every scenario runs on the real file system, which users meet, and on the
// memory platform, whose Windows rules (names alike whatever their case, a
// file open for reading that nobody may delete) this system may not have.
// The memory platform has no links: the actions that plant one are left to
// the real file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/run_driver.h"
#include "platform/path_syntax.h"
#include "platform/windows_names.h"
#include "support/memory_platform.h"
#include "support/scratch_dir.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {

namespace fs = std::filesystem;

// What a path holds, no link followed.
enum class Kind { kFile, kFolder, kOther };

// The files a world lives in, as the world's programs see them: the real
// file system or the memory platform.
class Files {
 public:
  virtual ~Files() = default;
  virtual Platform& platform() = 0;
  virtual std::string root() const = 0;
  virtual char separator() const = 0;
  // The device name a message may hold here.
  virtual std::string device() const = 0;
  virtual bool NamesDevice(const std::string& path) const = 0;
  virtual void MakeDir(const std::string& path) = 0;
  // Makes or cuts the file and writes bytes.
  virtual void Write(const std::string& path, const std::string& bytes) = 0;
  // Writes bytes over the file's first ones, the same file still.
  virtual void WriteAtStart(const std::string& path,
                            const std::string& bytes) = 0;
  // The bytes of a regular file.
  virtual bool Read(const std::string& path, std::string* bytes) = 0;
  virtual bool Exists(const std::string& path) = 0;
  virtual void Rename(const std::string& from, const std::string& to) = 0;
  virtual bool Remove(const std::string& path) = 0;
  // A link where the system lets a test make one (wine may not).
  virtual void PlantLink(const std::string& target, const std::string& at) = 0;
  // The names in folder with what each holds.
  virtual std::map<std::string, Kind> Entries(const std::string& folder) = 0;
};

class SystemFiles : public Files {
 public:
  Platform& platform() override { return system_; }
  std::string root() const override { return dir_.path(); }
  char separator() const override { return kSeparator; }
  std::string device() const override {
#ifdef _WIN32
    return "COM1";
#else
    return "/dev/null";
#endif
  }
  bool NamesDevice(const std::string& path) const override {
#ifdef _WIN32
    return NamesNoDiskFile(path, PathSyntax::Windows());
#else
    return path.rfind("/dev/", 0) == 0;
#endif
  }
  void MakeDir(const std::string& path) override {
    std::error_code error;
    fs::create_directory(path, error);
  }
  void Write(const std::string& path, const std::string& bytes) override {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  void WriteAtStart(const std::string& path,
                    const std::string& bytes) override {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file << bytes;
  }
  bool Read(const std::string& path, std::string* bytes) override {
    return ScratchDir::Read(path, bytes);
  }
  bool Exists(const std::string& path) override {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
  }
  void Rename(const std::string& from, const std::string& to) override {
    std::error_code error;
    fs::rename(from, to, error);
  }
  bool Remove(const std::string& path) override {
    std::error_code error;
    return fs::remove(path, error);
  }
  void PlantLink(const std::string& target, const std::string& at) override {
    std::error_code error;
    fs::create_symlink(target, at, error);
  }
  std::map<std::string, Kind> Entries(const std::string& folder) override {
    std::map<std::string, Kind> entries;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      const fs::file_status status = entry.symlink_status(error);
      entries[entry.path().filename().string()] =
          fs::is_regular_file(status) ? Kind::kFile
          : fs::is_directory(status)  ? Kind::kFolder
                                      : Kind::kOther;
    }
    return entries;
  }

 private:
  ScratchDir dir_;
  std::unique_ptr<Platform> system_owner_ = MakeSystemPlatform(0, nullptr);
  Platform& system_ = *system_owner_;
};

class MemoryFiles : public Files {
 public:
  MemoryFiles() { os_.AddDirectory(root()); }
  Platform& platform() override { return os_; }
  std::string root() const override { return "C:\\world"; }
  char separator() const override { return '\\'; }
  std::string device() const override { return "COM1"; }
  bool NamesDevice(const std::string& path) const override {
    return NamesNoDiskFile(path, PathSyntax::Windows());
  }
  void MakeDir(const std::string& path) override { os_.AddDirectory(path); }
  void Write(const std::string& path, const std::string& bytes) override {
    if (os_.HasFile(path)) {
      os_.Rewrite(path, bytes);
    } else if (!os_.HasDirectory(path)) {
      os_.AddFile(path, bytes);
    }
  }
  void WriteAtStart(const std::string& path,
                    const std::string& bytes) override {
    std::string now = os_.FileBytes(path);
    now.replace(0, std::min(now.size(), bytes.size()), bytes);
    os_.Rewrite(path, now);
  }
  bool Read(const std::string& path, std::string* bytes) override {
    if (!os_.HasFile(path)) return false;
    *bytes = os_.FileBytes(path);
    return true;
  }
  bool Exists(const std::string& path) override {
    return os_.HasFile(path) || os_.HasDirectory(path);
  }
  void Rename(const std::string& from, const std::string& to) override {
    os_.Rename(from, to);
  }
  bool Remove(const std::string& path) override { return os_.RemoveFile(path); }
  void PlantLink(const std::string&, const std::string&) override {}
  std::map<std::string, Kind> Entries(const std::string& folder) override {
    std::map<std::string, Kind> entries;
    for (const auto& [name, is_folder] : os_.Entries(folder)) {
      entries[name] = is_folder ? Kind::kFolder : Kind::kFile;
    }
    return entries;
  }

 private:
  MemoryPlatform os_;
};

// The world of one scenario: attachments in "att", the destination "dest",
// the message in "mail", and files of bystanders in "victim".
struct World {
  Files& files;
  std::string Path(const std::string& relative) const {
    std::string path = files.root() + files.separator() + relative;
    for (char& c : path) {
      if (c == '/') c = files.separator();
    }
    return path;
  }
  std::string source() const { return Path("att/r.pdf"); }
  std::string destination() const { return Path("dest/r.pdf"); }
  std::string log() const { return Path("mail/msg.log"); }
  std::string message() const { return Path("mail/msg.txt"); }
  void WriteFile(const std::string& path, const std::string& bytes) const {
    files.Write(path, bytes);
  }
  std::string ReadFile(const std::string& path) const {
    std::string bytes;
    files.Read(path, &bytes);
    return bytes;
  }
  bool Exists(const std::string& path) const { return files.Exists(path); }
};

struct Scenario {
  const char* name;
  // Makes the files; returns the message's attachment paths (relative).
  std::function<std::vector<std::string>(const World&)> make;
};

std::vector<Scenario> Scenarios() {
  return {
      {"new name",
       [](const World& w) {
         w.WriteFile(w.source(), "report bytes");
         return std::vector<std::string>{"att/r.pdf"};
       }},
      {"duplicate",
       [](const World& w) {
         w.WriteFile(w.source(), "same bytes");
         w.WriteFile(w.destination(), "same bytes");
         return std::vector<std::string>{"att/r.pdf"};
       }},
      {"numbered name",
       [](const World& w) {
         w.WriteFile(w.source(), "new version");
         w.WriteFile(w.destination(), "old version");
         return std::vector<std::string>{"att/r.pdf"};
       }},
      {"two attachments",
       [](const World& w) {
         w.WriteFile(w.source(), "first attachment");
         w.WriteFile(w.Path("att/s.pdf"), "second attachment");
         return std::vector<std::string>{"att/r.pdf", "att/s.pdf"};
       }},
      {"the run's own files and a device name",
       [](const World& w) {
         w.WriteFile(w.source(), "the attachment");
         return std::vector<std::string>{"att/r.pdf", "mail/msg.log",
                                         "mail/msg.txt", w.files.device(),
                                         "att/r.pdf"};
       }},
  };
}

// What the world may do between two calls of the run. Files it takes away
// go to "aside", as another run or the user keeps what it takes; files it
// destroys are gone.
struct Action {
  const char* name;
  std::function<void(const World&)> act;
  bool plants_link = false;
};

void TakeAside(const World& w, const std::string& path, const std::string& as) {
  if (w.Exists(path)) w.files.Rename(path, w.Path("aside/" + as));
}

// Another run's copy at the destination name; its source stays in
// "aside" until its run deletes it.
void PublishAsAnotherRun(const World& w, const std::string& bytes) {
  w.WriteFile(w.Path("aside/other-source"), bytes);
  w.WriteFile(w.destination(), bytes);
}

// The next message names the same attachments: whichever the run reads,
// the attachments are the same; only a message it did not read must stay.
constexpr char kNextMessageMark[] = "From: the next message\r\n";

std::vector<Action> Actions() {
  return {
      {"the client replaces the source (write, then rename)",
       [](const World& w) {
         if (!w.Exists(w.source())) return;
         w.WriteFile(w.Path("att/r.pdf.new"), "replaced bytes");
         w.files.Rename(w.Path("att/r.pdf.new"), w.source());
       }},
      {"the client rewrites the source in place",
       [](const World& w) {
         if (!w.Exists(w.source())) return;
         w.files.WriteAtStart(w.source(), "EDIT");
       }},
      {"another run takes the source, the client saves a new one there",
       [](const World& w) {
         TakeAside(w, w.source(), "taken.pdf");
         if (!w.Exists(w.source())) {
           w.WriteFile(w.source(), "the next attachment");
         }
       }},
      {"another run deletes the source as a duplicate of the run's copy, "
       "the client saves a new file there",
       [](const World& w) {
         std::string bytes;
         std::string copied;
         if (!w.files.Read(w.source(), &bytes) ||
             !w.files.Read(w.destination(), &copied) || bytes != copied) {
           return;
         }
         // A file still open elsewhere lingers on Windows until it is
         // closed: the client saves only once the name is free.
         if (!w.files.Remove(w.source()) || w.Exists(w.source())) return;
         // ext4 hands the freed inode number to the next file made.
         w.WriteFile(w.source(), "the next attachment");
       }},
      {"another run publishes an identical file at the destination name",
       [](const World& w) {
         if (w.Exists(w.destination()) || !w.Exists(w.source())) return;
         PublishAsAnotherRun(w, w.ReadFile(w.source()));
       }},
      {"another run publishes a different file at the destination name",
       [](const World& w) {
         if (!w.Exists(w.destination())) {
           PublishAsAnotherRun(w, "another run's file");
         }
       }},
      {"another run publishes, then takes its file back (a failed close)",
       [](const World& w) {
         if (w.Exists(w.destination())) return;
         PublishAsAnotherRun(w, "another run's file");
         w.files.Remove(w.destination());
       }},
      {"another run takes back a file it published there before",
       [](const World& w) {
         // Only its own: a file whose bytes its source still holds.
         std::string bytes;
         std::string its;
         if (w.files.Read(w.destination(), &bytes) &&
             w.files.Read(w.Path("aside/other-source"), &its) && bytes == its) {
           w.files.Remove(w.destination());
         }
       }},
      {"a link to a bystander's file is planted at the log's name",
       [](const World& w) {
         w.files.Remove(w.log());
         w.files.PlantLink(w.Path("victim/file.txt"), w.log());
       },
       true},
      {"a folder is planted at the log's name",
       [](const World& w) {
         w.files.Remove(w.log());
         w.files.MakeDir(w.log());
         w.WriteFile(w.log() + w.files.separator() + "inside.txt",
                     "inside the folder");
       }},
      {"a file is planted at the program's own folder's name",
       [](const World& w) {
         if (!w.Exists(w.Path("dest/.stashwell"))) {
           w.WriteFile(w.Path("dest/.stashwell"), "a file of that name");
         }
       }},
      {"a link to a bystander's folder is planted at the program's folder",
       [](const World& w) {
         w.files.PlantLink(w.Path("victim"), w.Path("dest/.stashwell"));
       },
       true},
      {"a link to a bystander's file is planted at the destination name",
       [](const World& w) {
         if (!w.Exists(w.destination())) {
           w.files.PlantLink(w.Path("victim/file.txt"), w.destination());
         }
       },
       true},
      {"the client renames its next message over the message file",
       [](const World& w) {
         w.WriteFile(w.Path("mail/next.tmp"),
                     kNextMessageMark + w.ReadFile(w.message()));
         w.files.Rename(w.Path("mail/next.tmp"), w.message());
       }},
  };
}

// Every content in the world's regular files (links not followed), apart
// from the run log and the program's own folders, with where it is.
void AddContents(const World& w, const std::string& folder,
                 std::multimap<std::string, std::string>* contents) {
  for (const auto& [name, kind] : w.files.Entries(folder)) {
    const std::string path = folder + w.files.separator() + name;
    if (path == w.log() || IsOwnFolderName(name)) continue;
    if (kind == Kind::kFolder) AddContents(w, path, contents);
    if (kind == Kind::kFile) contents->emplace(w.ReadFile(path), path);
  }
}

std::multimap<std::string, std::string> Contents(const World& w) {
  std::multimap<std::string, std::string> contents;
  AddContents(w, w.files.root(), &contents);
  return contents;
}

std::set<std::string> Keys(const std::multimap<std::string, std::string>& m) {
  std::set<std::string> keys;
  for (const auto& [content, path] : m) keys.insert(content);
  return keys;
}

// The platform of one run: the world's, the world acting before call k,
// and every open recorded that was given a device name.
class AdversaryPlatform : public TestPlatform {
 public:
  explicit AdversaryPlatform(const World& w)
      : TestPlatform(w.files.platform()), world(&w) {}

  void OnCall(const char*) override {
    ++calls;
    if (calls == act_at && act) {
      before = Contents(*world);
      std::exchange(act, nullptr)();
      after = Contents(*world);
      acted = true;
    }
  }
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    if (world->files.NamesDevice(path)) device_opens.push_back(path);
    const uint32_t code = TestPlatform::Open(path, use, file);
    if (use == FileUse::kMessage) message_opened_at = calls;
    return code;
  }
  uint32_t FolderCopyIn(WrappedFolder& folder, const std::string& source,
                        const std::string& name,
                        CopyReceipt* receipt) override {
    if (world->files.NamesDevice(source)) device_opens.push_back(source);
    return TestPlatform::FolderCopyIn(folder, source, name, receipt);
  }

  const World* world;
  int calls = 0;
  int act_at = 0;
  std::function<void()> act;
  bool acted = false;
  int message_opened_at = 0;
  std::multimap<std::string, std::string> before;
  std::multimap<std::string, std::string> after;
  std::vector<std::string> device_opens;
};

struct Outcome {
  int calls = 0;
  std::vector<std::string> problems;
};

// Runs one scenario, the action (if any) before call act_at.
Outcome RunOnce(bool in_memory, const Scenario& scenario, const Action* action,
                int act_at) {
  std::unique_ptr<Files> files;
  if (in_memory) {
    files = std::make_unique<MemoryFiles>();
  } else {
    files = std::make_unique<SystemFiles>();
  }
  const World w{*files};
  for (const char* folder : {"att", "dest", "mail", "victim", "aside"}) {
    files->MakeDir(w.Path(folder));
  }
  w.WriteFile(w.Path("victim/file.txt"), "a bystander's bytes");
  std::string message = "From: someone\r\n";
  for (const std::string& line : scenario.make(w)) {
    message += "Attachment Converted: \"" +
               (line == files->device() ? line : w.Path(line)) + "\"\r\n";
  }
  w.WriteFile(w.message(), message);
  const std::set<std::string> start = Keys(Contents(w));

  AdversaryPlatform os(w);
  os.act_at = act_at;
  if (action != nullptr) os.act = [&] { action->act(w); };
  os.SetArguments({w.message(), w.Path("dest")});
  Outcome outcome;
  const int exit_code = RunProgram(os);
  outcome.calls = os.calls;
  auto& problems = outcome.problems;

  // What must survive: what was there at the start or right after the
  // action, less what the action itself destroyed.
  std::set<std::string> required = start;
  const std::set<std::string> before = Keys(os.before);
  const std::set<std::string> after = Keys(os.after);
  required.insert(after.begin(), after.end());
  if (os.acted) {
    for (const std::string& content : before) {
      if (after.count(content) == 0) required.erase(content);
    }
  }
  // The message the run read may go; a message put in its place before the
  // run opened it is the one it read.
  required.erase(message);
  if (os.acted && os.message_opened_at >= act_at) {
    required.erase(kNextMessageMark + message);
  }
  const auto end = Contents(w);
  const std::set<std::string> left = Keys(end);
  for (const std::string& content : required) {
    if (left.count(content) == 0) problems.push_back("lost: " + content);
  }
  std::set<std::string> in_destination;
  for (const auto& [content, path] : end) {
    if (path.rfind(w.Path("dest") + files->separator(), 0) == 0) {
      in_destination.insert(content);
    }
  }
  // The question after logged errors, or the error report.
  const bool reported = !os.boxes.empty() && os.boxes.back().kind != "warning";
  if (exit_code != 0 && !reported) problems.push_back("stopped unreported");
  for (const auto& [content, path] : end) {
    if (path.rfind(w.Path("att") + files->separator(), 0) == 0 &&
        start.count(content) && in_destination.count(content) == 0 &&
        !reported) {
      problems.push_back("left at its source with no error: " + path);
    }
  }
  // Bystanders and what was planted stay as they were.
  if (w.Exists(w.Path("victim/file.txt")) &&
      left.count("a bystander's bytes") == 0) {
    problems.push_back("a bystander's file changed");
  }
  for (const auto& [name, kind] : files->Entries(w.Path("victim"))) {
    if (name != "file.txt") {
      problems.push_back("written into a bystander's folder: " + name);
    }
  }
  for (const auto& [name, kind] : files->Entries(w.Path("dest"))) {
    if (name.rfind(kTemporaryPrefix, 0) == 0 ||
        (IsOwnFolderName(name) && kind == Kind::kFolder)) {
      problems.push_back("left in the destination: " + name);
    }
  }
  for (const std::string& path : os.device_opens) {
    problems.push_back("a device name was opened: " + path);
  }
  if (!problems.empty()) {
    // What the run logged and left, to tell how it came to this.
    problems.push_back("log: " + w.ReadFile(w.log()));
    for (const auto& [content, path] : end) {
      problems.push_back("left: " + path.substr(files->root().size()) + " = " +
                         content);
    }
  }
  return outcome;
}

// The parameter: the memory platform (true) or the real file system.
class AdversaryTest : public testing::TestWithParam<bool> {};

TEST_P(AdversaryTest, NothingIsLostWhateverTheWorldDoesBetweenTwoCalls) {
  const bool in_memory = GetParam();
  const std::vector<Action> actions = Actions();
  size_t pairs = 0;
  for (const Scenario& scenario : Scenarios()) {
#ifdef _WIN32
    // Each run under wine costs a hundred times a native one: the richest
    // scenario stands for the rest there.
    if (!in_memory && std::string(scenario.name) != "duplicate") continue;
#endif
    SCOPED_TRACE(scenario.name);
    const Outcome quiet = RunOnce(in_memory, scenario, nullptr, 0);
    EXPECT_EQ(quiet.problems, std::vector<std::string>());
    ASSERT_GT(quiet.calls, 0);
    for (int k = 1; k <= quiet.calls; ++k) {
      for (const Action& action : actions) {
        if (in_memory && action.plants_link) continue;
        const Outcome outcome = RunOnce(in_memory, scenario, &action, k);
        ++pairs;
        EXPECT_EQ(outcome.problems, std::vector<std::string>())
            << "before call " << k << " of " << quiet.calls << ": "
            << action.name;
      }
    }
  }
  std::printf("adversary (%s): %zu (call, action) pairs explored\n",
              in_memory ? "memory platform" : "file system", pairs);
}

INSTANTIATE_TEST_SUITE_P(Platforms, AdversaryTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "MemoryPlatform" : "FileSystem";
                         });

}  // namespace
}  // namespace stashwell
