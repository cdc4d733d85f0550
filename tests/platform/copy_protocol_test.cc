// The copy that never replaces: each way of publication on the system's
// own folders, and what every failing step leaves, on the memory platform.
#include "platform/copy_protocol.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/path_syntax.h"
#include "platform/system_platform.h"
#include "support/memory_platform.h"
#include "support/platform_wrapper.h"
#include "support/scratch_dir.h"

namespace stashwell {
namespace {

struct WayCase {
  const char* what;
  CopyWays ways;
  // The way that publishes, "" when none is left (the copy then fails
  // with 50): on Linux, and on Windows, which has the rename alone.
  const char* posix;
  const char* windows;
};

// Every way the file systems offer gives the name the whole copy, with its
// time, once: a second copy to the name is refused, and nothing of the
// program's own is left either way.
TEST(CopyProtocol, EachWayOfPublicationGivesTheWholeCopyOnce) {
  const WayCase cases[] = {
      {"every way", {}, "unnamed link", "rename"},
      {"no unnamed file", {.unnamed = false}, "rename", "rename"},
      {"an unnamed file that cannot be linked (no /proc)",
       {.link = false},
       "rename",
       "rename"},
      {"a link only", {.unnamed = false, .rename = false}, "link", ""},
      {"a reservation only",
       {.unnamed = false, .rename = false, .link = false},
       "reservation",
       ""},
      {"no way",
       {.unnamed = false, .rename = false, .link = false, .reservation = false},
       "",
       ""},
  };
  const std::unique_ptr<Platform> system = MakeSystemPlatform(0, nullptr);
  for (const WayCase& c : cases) {
    SCOPED_TRACE(c.what);
#ifdef _WIN32
    const std::string way = c.windows;
#else
    const std::string way = c.posix;
#endif
    ScratchDir dir;
    const std::string bytes(300000, 'r');
    const std::string source = dir.Write("report.pdf", bytes);
    const std::string folder = dir.MakeDir("dest");
    CopyWaysPlatform os(*system, c.ways);
    std::unique_ptr<Folder> dest;
    ASSERT_EQ(os.OpenFolder(folder, &dest), 0u);
    CopyReceipt receipt;
    const uint32_t code = dest->CopyIn(source, "report.pdf", &receipt);
    EXPECT_EQ(dest->Flush(), 0u);
    const std::string copy = folder + kSeparator + "report.pdf";
    EXPECT_EQ(os.published, way.empty() ? std::vector<std::string>{}
                                        : std::vector<std::string>{way});
    EXPECT_EQ(ScratchDir::ReadOrEmpty(source), bytes);
    if (way.empty()) {
      EXPECT_EQ(code, kErrorNotSupported);
      EXPECT_FALSE(ScratchDir::Exists(copy));
      EXPECT_FALSE(receipt.source || receipt.copy);
    } else {
      EXPECT_EQ(code, 0u);
      EXPECT_EQ(ScratchDir::ReadOrEmpty(copy), bytes);
      ASSERT_TRUE(receipt.source && receipt.copy);
      EXPECT_EQ(receipt.copy, dest->ProofOf("report.pdf"));
      std::unique_ptr<File> read;
      ASSERT_EQ(os.Open(source, FileUse::kComparison, &read), 0u);
      EXPECT_EQ(receipt.source, read->Proof());
      const std::string again = dir.Write("again.pdf", "other bytes");
      EXPECT_EQ(dest->CopyIn(again, "report.pdf", &receipt), kErrorFileExists);
      EXPECT_EQ(ScratchDir::ReadOrEmpty(copy), bytes);
    }
    EXPECT_EQ(dest->Examine(kOwnFolder), PathKind::kMissing);
    EXPECT_EQ(dest->PlainFileNames("", ""),
              way.empty() ? std::vector<std::string>{}
                          : std::vector<std::string>{"report.pdf"});
  }
}

// Primitives that fail one step with code, or answer it otherwise, as a
// disk might.
class FailingStep : public CopyPrimitivesWrapper {
 public:
  FailingStep(std::unique_ptr<CopyPrimitives> inner, const std::string& step,
              uint32_t code, MemoryPlatform& memory)
      : CopyPrimitivesWrapper(std::move(inner)),
        step_(step),
        code_(code),
        memory_(memory) {}

  std::optional<uint32_t> StageUnnamed() override {
    return Unless("stage",
                  [&] { return CopyPrimitivesWrapper::StageUnnamed(); });
  }
  uint32_t StageNamed() override {
    return Unless("stage", [&] { return CopyPrimitivesWrapper::StageNamed(); });
  }
  uint32_t CopyBytes() override {
    return Unless("copy bytes",
                  [&] { return CopyPrimitivesWrapper::CopyBytes(); });
  }
  uint32_t KeepMetadata() override {
    return Unless("keep metadata",
                  [&] { return CopyPrimitivesWrapper::KeepMetadata(); });
  }
  uint32_t SyncStaged() override {
    // The mail client saves the attachment again while it is copied.
    if (step_ == "source changed") memory_.Rewrite("c:\\in\\a.pdf", "new");
    // Another run takes the name between the check and the publication.
    if (step_ == "name taken") memory_.AddFile("c:\\dest\\a.pdf", "theirs");
    return Unless("sync", [&] { return CopyPrimitivesWrapper::SyncStaged(); });
  }
  uint32_t CloseStaged() override {
    const uint32_t code = CopyPrimitivesWrapper::CloseStaged();
    // Another program renames its own file onto the name at once.
    if (step_ == "late close, name given away") {
      memory_.AddFile("c:\\dest\\a.pdf", "someone else's");
    }
    return step_.starts_with("late close") ? code_ : code;
  }

 private:
  // The failure where step is the one that fails, else the step itself.
  template <typename Step>
  auto Unless(const char* step, Step next) -> decltype(next()) {
    if (step_ == step) return code_;
    return next();
  }

  std::string step_;
  uint32_t code_;
  MemoryPlatform& memory_;
};

// Each case once unnamed, once named.
template <typename Case, size_t kCases>
std::vector<std::pair<Case, bool>> Pairs(const Case (&cases)[kCases]) {
  std::vector<std::pair<Case, bool>> pairs;
  for (const Case& c : cases) {
    pairs.emplace_back(c, false);
    pairs.emplace_back(c, true);
  }
  return pairs;
}

struct StepCase {
  const char* step;
  uint32_t code;
  bool published;            // the name was given before the failure
  const char* left_at_name;  // what the name holds afterwards; "" nothing
};

// Whatever step fails, the copy reports it, the source stays as it was,
// nothing of the program's own is left, and the name holds no part of the
// copy: a publication whose close fails is taken back, but only while the
// name still holds this copy. So for a copy staged unnamed and for one
// staged in the program's own folder.
TEST(CopyProtocol, AFailedStepLeavesTheSourceAndNoPartOfTheCopy) {
  const StepCase cases[] = {
      {"none", 0, true, "attachment"},
      {"stage", kErrorDiskFull, false, ""},
      {"copy bytes", kErrorDiskFull, false, ""},
      {"keep metadata", kErrorAccessDenied, false, ""},
      {"sync", 1117, false, ""},
      {"source changed", kErrorSharingViolation, false, ""},
      {"name taken", kErrorFileExists, false, "theirs"},
      {"late close", 1117, true, ""},
      {"late close, name given away", 1117, true, "someone else's"},
  };
  for (const auto& [c, named] : Pairs(cases)) {
    SCOPED_TRACE(std::string(c.step) + (named ? ", named" : ", unnamed"));
    MemoryPlatform memory;
    memory.AddDirectory("c:\\in");
    memory.AddDirectory("c:\\dest");
    memory.AddFile("c:\\in\\a.pdf", "attachment");
    // What a dead run left, and an attachment named like it.
    memory.AddDirectory("c:\\dest\\.stashwell");
    memory.AddFile("c:\\dest\\.stashwell\\" + TemporaryName(7, 0), "part");
    memory.AddFile("c:\\dest\\" + TemporaryName(7, 0), "an attachment");
    CopyWaysPlatform ways(memory, {.unnamed = !named});
    struct Failing : PlatformWrapper {
      Failing(Platform& ways, MemoryPlatform& memory, const StepCase& c)
          : PlatformWrapper(ways),
            memory_(memory),
            step_(c.step),
            code_(c.code) {}
      std::unique_ptr<CopyPrimitives> FolderStartCopy(
          WrappedFolder& folder) override {
        return std::make_unique<FailingStep>(
            PlatformWrapper::FolderStartCopy(folder), step_, code_, memory_);
      }
      MemoryPlatform& memory_;
      std::string step_;
      uint32_t code_;
    } os(ways, memory, c);
    std::unique_ptr<Folder> dest;
    ASSERT_EQ(os.OpenFolder("c:\\dest", &dest), 0u);
    CopyReceipt receipt;
    EXPECT_EQ(dest->CopyIn("c:\\in\\a.pdf", "a.pdf", &receipt), c.code);
    EXPECT_EQ(receipt.source.has_value(), c.code == 0);
    EXPECT_EQ(receipt.copy.has_value(), c.code == 0);
    std::map<std::string, std::string> expected = {
        {"c:\\in\\a.pdf",
         std::string(c.step) == "source changed" ? "new" : "attachment"},
        {"c:\\dest\\" + TemporaryName(7, 0), "an attachment"},
    };
    if (*c.left_at_name != 0) expected["c:\\dest\\a.pdf"] = c.left_at_name;
    EXPECT_EQ(memory.Files(), expected);
    EXPECT_EQ(dest->Examine(kOwnFolder), PathKind::kMissing);
    EXPECT_EQ(ways.published,
              c.published
                  ? std::vector<std::string>{named ? "rename" : "unnamed link"}
                  : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace stashwell
