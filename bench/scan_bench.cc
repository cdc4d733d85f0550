// The message file scan on a real file, for timing from outside:
//
//   scan_bench MESSAGE DESTINATION
//
// Runs ScanMessageFile over MESSAGE exactly as a run does, with its run
// log beside it, except that the message file is kept (so one file serves
// every timing run) and the log is deleted afterwards. Prints the number
// of attachment lines met. Exit code 0, or 1 when the scan failed.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/system_platform.h"
#include "run/in_out_error.h"
#include "run/run_log.h"
#include "run/run_state.h"
#include "scan/message_scan.h"
#include "support/platform_wrapper.h"

namespace stashwell {
namespace {

// The system platform, except that the message file is never removed.
// Its files are the system's own, unwrapped, so that the message is read
// as a run reads it.
class KeepMessage : public PlatformWrapper {
 public:
  KeepMessage(Platform& target, std::string message)
      : PlatformWrapper(target), message_(std::move(message)) {}
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    return target_.Open(path, use, file);
  }
  bool RemoveFile(const std::string& path) override {
    return path == message_ ? false : target_.RemoveFile(path);
  }
  Removal RemoveProvenFile(const std::string& path,
                           const FileProof& proof) override {
    return path == message_ ? Removal::kRefused
                            : target_.RemoveProvenFile(path, proof);
  }

 private:
  std::string message_;
};

size_t CountLines(std::string_view log, std::string_view start) {
  size_t count = 0;
  for (size_t at = log.find(start); at != std::string_view::npos;
       at = log.find(start, at + 1)) {
    ++count;
  }
  return count;
}

int Main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scan_bench MESSAGE DESTINATION\n");
    return 2;
  }
  const std::unique_ptr<Platform> system = MakeSystemPlatform(argc, argv);
  KeepMessage os(*system, argv[1]);
  RunState state(os);
  state.MessageFilePath = argv[1];
  state.DestinationDir = argv[2];
  Destination destination(state);
  try {
    StartRunLog(state);
    ScanMessageFile(state, destination);
    state.Log->Close();
    state.Log.reset();
  } catch (const EInOutError& error) {
    std::fprintf(stderr, "scan failed: %s\n", error.message().c_str());
    return 1;
  }
  // Read back the small log only to report what the scan met.
  std::string log;
  std::unique_ptr<File> file;
  if (os.Open(state.LogPath, FileUse::kMessage, &file) == 0) {
    char buffer[4096];
    size_t count = 0;
    while (file->Read(buffer, sizeof buffer, &count) == 0 && count > 0) {
      log.append(buffer, count);
    }
    file->Close();
  }
  os.RemoveFile(state.LogPath);
  std::printf("%zu attachment lines\n", CountLines(log, "Attachment Line: "));
  return 0;
}

}  // namespace
}  // namespace stashwell

int main(int argc, char** argv) { return stashwell::Main(argc, argv); }
