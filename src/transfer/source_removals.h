// The removals of moved sources that wait for the destination folder's
// flush. A run flushes the folder once for all the sources it holds, then
// deletes each source only once it has proven both files: the source's
// name still leads to the very file that was read, unchanged, and the
// destination still holds the file that has its bytes. The log keeps the
// run's order: each held removal keeps its place there, and the lines
// written after it wait behind it.
#ifndef STASHWELL_TRANSFER_SOURCE_REMOVALS_H_
#define STASHWELL_TRANSFER_SOURCE_REMOVALS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/run_state.h"

namespace stashwell {

// How much the run holds before it settles, whatever the message holds:
// removals, and bytes of the log lines waiting behind them.
inline constexpr size_t kMostHeldRemovals = 64;
inline constexpr size_t kMostHeldBytes = 64 * 1024;

class SourceRemovals {
 public:
  // Removals of sources whose bytes are in destination.
  explicit SourceRemovals(Folder& destination) : destination_(destination) {}
  SourceRemovals(const SourceRemovals&) = delete;
  SourceRemovals& operator=(const SourceRemovals&) = delete;

  // Holds the removal of source, read as `read`, whose bytes the file
  // `placed` under placed_name in the destination folder holds (the copy,
  // or the identical file of a duplicate).
  //
  // A run killed while removals are held leaves those sources in place
  // beside their whole copies (the next run finds each copy identical and
  // deletes the source as a duplicate); the lines held with them are lost
  // with the run.
  void Hold(RunState& state, std::string source, const FileProof& read,
            std::string placed_name, const FileProof& placed);
  // True when the run should settle before it goes on: too many removals,
  // or too many log lines waiting.
  bool Full(const RunState& state) const;
  // Settles when path names a held source, so that a later attachment line
  // naming that file (in any spelling) finds it gone, as it would have
  // been had it gone at once.
  void SettleIfHeld(RunState& state, const std::string& path);
  // Flushes the destination folder once, then deletes the held sources in
  // their order, each failure with its error line in the removal's place
  // in the log. When the flush fails, no source goes. A failed log write
  // ends the settling and drops what was not yet done (the sources stay),
  // as it ends the run.
  void Settle(RunState& state);

 private:
  struct Held {
    std::string source;
    FileProof read;
    std::string placed_name;
    FileProof placed;
    size_t log_place;
  };
  // The error line for one removal, or nothing when the source is gone.
  const char* Remove(RunState& state, const Held& held, bool flushed);

  Folder& destination_;
  std::vector<Held> held_;
};

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_SOURCE_REMOVALS_H_
