#include "transfer/source_removals.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "run/run_log.h"

namespace stashwell {
namespace {

constexpr char kCouldNotDeleteSource[] = "Error - could not delete source file";
// The source's name leads to a file other than the one that was read, or
// that file has changed since: its bytes may be in no copy.
constexpr char kSourceChangedText[] =
    "Error - source file changed after it was read (source not deleted)";
// The file that holds the source's bytes in the destination is gone or
// has been replaced or rewritten since.
constexpr char kDestinationChangedText[] =
    "Error - destination file changed before the source was deleted "
    "(source not deleted)";

// The destination still holds the file with the source's bytes: the same
// file, of the same size, made at the same moment where the system keeps
// that. Its other stamps may move without any byte changing: a network
// share keeps times to the second where the copy set them to the
// nanosecond, and a link or a mode changed elsewhere moves the change time.
bool StillHolds(const std::optional<FileProof>& now, const FileProof& placed) {
  return now && now->id == placed.id && now->size == placed.size &&
         (now->birth_time == 0 || placed.birth_time == 0 ||
          now->birth_time == placed.birth_time);
}

}  // namespace

void SourceRemovals::Hold(RunState& state, std::string source,
                          const FileProof& read, std::string placed_name,
                          const FileProof& placed) {
  held_.push_back({std::move(source), read, std::move(placed_name), placed,
                   state.Log->HoldPlace()});
}

bool SourceRemovals::Full(const RunState& state) const {
  return held_.size() >= kMostHeldRemovals ||
         (state.Log && state.Log->HeldBytes() >= kMostHeldBytes);
}

void SourceRemovals::SettleIfHeld(RunState& state, const std::string& path) {
  if (held_.empty()) return;
  const std::optional<FileId> id = state.platform.IdentityOf(path);
  if (id && std::any_of(held_.begin(), held_.end(), [&](const Held& held) {
        return held.read.id == *id;
      })) {
    Settle(state);
  }
}

const char* SourceRemovals::Remove(RunState& state, const Held& held,
                                   bool flushed) {
  if (!flushed) return kCouldNotDeleteSource;
  if (!StillHolds(destination_.ProofOf(held.placed_name), held.placed)) {
    return kDestinationChangedText;
  }
  switch (state.platform.RemoveProvenFile(held.source, held.read)) {
    case Removal::kRemoved:
      return nullptr;
    case Removal::kNotProven:
      // Gone (another run took it as a duplicate) is a source that could
      // not be deleted, as it always was; anything else at the name now is
      // not the file that was read.
      return state.platform.Examine(held.source) == PathKind::kMissing
                 ? kCouldNotDeleteSource
                 : kSourceChangedText;
    case Removal::kRefused:
      break;
  }
  return kCouldNotDeleteSource;
}

void SourceRemovals::Settle(RunState& state) {
  if (held_.empty()) return;
  // Taken out first: a failure below leaves nothing held to settle again.
  std::vector<Held> held;
  held.swap(held_);
  // One flush for all: the names of the copies, and of the files that
  // duplicates rely on, reach the disk before any source goes.
  const bool flushed = destination_.Flush() == 0;
  for (const Held& removal : held) {
    const char* error = Remove(state, removal, flushed);
    state.Log->FillPlace(removal.log_place, error);
    if (error != nullptr) state.ErrorsReported = true;
  }
}

}  // namespace stashwell
