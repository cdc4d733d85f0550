// Where a run's attachments go: the destination folder, opened at its first
// use and kept open to the end of the run, and the removals of the sources
// moved into it, which wait for its flush.
#ifndef STASHWELL_TRANSFER_DESTINATION_H_
#define STASHWELL_TRANSFER_DESTINATION_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "run/run_state.h"
#include "transfer/source_removals.h"

namespace stashwell {

// The folder DestinationDir names, as the steps of placement ask it: every
// name is a file name in that folder. It is opened at the first question
// and kept; while it cannot be opened, each question tries again, and is
// answered by the name's path (Examine), by the open's code (CopyIn,
// Flush) or by nothing found (ProofOf, PlainFileNames), so that the copy
// reports why the folder would not open.
class DestinationFolder final : public Folder {
 public:
  explicit DestinationFolder(RunState& state) : state_(state) {}

  // 0 once the folder is open, else the open's code.
  uint32_t Open();
  bool IsOpen() const { return folder_ != nullptr; }
  // How the log shows name: DestinationDir, the separator and the name, as
  // the command line gave the folder.
  std::string PathOf(std::string_view name) const;

  PathKind Examine(const std::string& name) override;
  uint32_t CopyIn(const std::string& source, const std::string& name,
                  CopyReceipt* receipt) override;
  // The open folder's primitives; nothing while it cannot be opened.
  std::unique_ptr<CopyPrimitives> StartCopy() override;
  std::optional<FileProof> ProofOf(const std::string& name) override;
  std::vector<std::string> PlainFileNames(std::string_view prefix,
                                          std::string_view suffix) override;
  // A folder that cannot be opened is never listed.
  uint32_t ListingCostInLookups() override;
  // Flushes only a folder already open: a name given by CopyIn is one.
  uint32_t Flush() override;

 private:
  RunState& state_;
  std::unique_ptr<Folder> folder_;
};

// The destination and the removals waiting for its flush, owned by the run
// driver for the whole run and handed to each attachment's placement.
struct Destination {
  explicit Destination(RunState& state) : folder(state), removals(folder) {}

  DestinationFolder folder;
  SourceRemovals removals;
};

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_DESTINATION_H_
