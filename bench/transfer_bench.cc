// One file transfer operation on real files, for timing from outside:
//
//   transfer_bench compare FIRST SECOND   CompareFiles; prints the answer
//   transfer_bench move SOURCE DEST       CopyAndLog + VerifyAndDeleteSource
//
// The move keeps its run log in a temporary folder of its own choosing (the
// folder of DEST), which it deletes afterwards. Exit code 0 when the
// operation did what was expected (identical files, a clean move), else 1.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/system_platform.h"
#include "run/in_out_error.h"
#include "run/run_log.h"
#include "run/run_state.h"
#include "transfer/file_identity.h"
#include "transfer/verified_move.h"

namespace stashwell {
namespace {

int Compare(Platform& os, const std::string& first, const std::string& second) {
  ComparedFiles compared;
  const bool identical =
      CompareFiles(os, first, second, &compared, KnownFiles::kBothFiles) ==
      Comparison::kIdentical;
  std::printf("%s\n", identical ? "identical" : "different");
  return identical ? 0 : 1;
}

int Move(Platform& os, const std::string& source,
         const std::string& destination) {
  RunState state(os);
  state.MessageFilePath = destination + ".bench-msg";
  StartRunLog(state);
  state.DestinationDir = FolderPart(destination, os.Syntax());
  Destination folder(state);
  Attachment attachment = AttachmentAt(source, os.Syntax());
  attachment.DestinationName = FileNamePart(destination, os.Syntax());
  const PlacedBytes placed = CopyAndLog(state, folder, attachment, false);
  VerifyAndDeleteSource(state, folder, attachment, placed);
  // The source goes once the destination folder is flushed.
  folder.removals.Settle(state);
  const bool clean = !state.ErrorsReported;
  // Keep the benchmark quiet: no question about the log.
  state.Log->Close();
  state.Log.reset();
  os.RemoveFile(state.LogPath);
  std::printf("%s\n", clean ? "moved" : "failed");
  return clean ? 0 : 1;
}

int Main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: transfer_bench compare FIRST SECOND\n"
                 "       transfer_bench move SOURCE DEST\n");
    return 2;
  }
  std::unique_ptr<Platform> os = MakeSystemPlatform(0, nullptr);
  try {
    if (std::strcmp(argv[1], "compare") == 0) {
      return Compare(*os, argv[2], argv[3]);
    }
    if (std::strcmp(argv[1], "move") == 0) return Move(*os, argv[2], argv[3]);
  } catch (const EInOutError& error) {
    std::fprintf(stderr, "transfer_bench: %s\n", error.message().c_str());
    return 1;
  }
  std::fprintf(stderr, "transfer_bench: unknown operation %s\n", argv[1]);
  return 2;
}

}  // namespace
}  // namespace stashwell

int main(int argc, char** argv) { return stashwell::Main(argc, argv); }
