#include "platform/copy_protocol.h"

#include <memory>

namespace stashwell {
namespace {

using Publication =
    std::optional<uint32_t> (CopyPrimitives::*)(const std::string&);

// The ways a staged file gets its name, in the order they are tried. An
// unnamed file can only be linked; a named one is renamed where the file
// system can refuse a taken name by rename, else linked (a hard link
// refuses it as well), else published over a reservation.
constexpr Publication kUnnamedWays[] = {&CopyPrimitives::PublishByLink};
constexpr Publication kNamedWays[] = {&CopyPrimitives::PublishByRename,
                                      &CopyPrimitives::PublishByLink,
                                      &CopyPrimitives::PublishByReservation};

// Ends the staging however the copy leaves it.
class StagingEnd {
 public:
  explicit StagingEnd(CopyPrimitives& primitives) : primitives_(primitives) {}
  ~StagingEnd() { primitives_.EndStaging(); }
  StagingEnd(const StagingEnd&) = delete;
  StagingEnd& operator=(const StagingEnd&) = delete;

 private:
  CopyPrimitives& primitives_;
};

// Fills a staged file and publishes it under name by the first of ways the
// file system offers. Nothing when it offers none of them for this kind of
// staged file: the copy is then staged the next way.
template <size_t kWays>
std::optional<uint32_t> FillAndPublish(CopyPrimitives& primitives,
                                       const FileProof& read,
                                       const std::string& name,
                                       const Publication (&ways)[kWays]) {
  if (const uint32_t code = primitives.CopyBytes()) return code;
  if (const uint32_t code = primitives.KeepMetadata()) return code;
  // The bytes reach the disk before the copy gets its name, so the name
  // never holds a file that a power cut would empty.
  if (const uint32_t code = primitives.SyncStaged()) return code;
  // A source written to while it was read may have given the copy a mix of
  // its old and new bytes: such a copy never gets the name.
  if (primitives.SourceProof() != read) return kErrorSharingViolation;
  for (const Publication way : ways) {
    const std::optional<uint32_t> code = (primitives.*way)(name);
    if (code) return code;
  }
  return std::nullopt;
}

// Stages the copy one way (unnamed, or under a temporary name), fills it
// and publishes it; *made and *late get the copy's proof and the result of
// its close once it has the name. Nothing when the file system offers no
// such staged file, or no way to name it.
std::optional<uint32_t> CopyStaged(CopyPrimitives& primitives, bool unnamed,
                                   const FileProof& read,
                                   const std::string& name,
                                   std::optional<FileProof>* made,
                                   uint32_t* late) {
  StagingEnd end(primitives);
  std::optional<uint32_t> published;
  if (unnamed) {
    const std::optional<uint32_t> staged = primitives.StageUnnamed();
    if (!staged || *staged != 0) return staged;
    published = FillAndPublish(primitives, read, name, kUnnamedWays);
  } else {
    if (const uint32_t code = primitives.StageNamed()) return code;
    published = FillAndPublish(primitives, read, name, kNamedWays);
  }
  if (published == 0u) {
    // The new name reaches the disk with the folder's Flush, which the run
    // asks for before the source goes.
    *made = primitives.StagedProof();
    *late = primitives.CloseStaged();
  }
  return published;
}

}  // namespace

uint32_t CopyNoReplace(CopyPrimitives& primitives, const std::string& source,
                       const std::string& name, CopyReceipt* receipt) {
  *receipt = {};
  // What the copy reads, as a later deletion of the source must find it.
  FileProof read;
  if (const uint32_t code = primitives.OpenSource(source, &read)) return code;
  // A taken name is refused before any byte is copied; the publication
  // refuses it again should it be taken meanwhile.
  if (primitives.IsTaken(name)) return kErrorFileExists;

  std::optional<FileProof> made;
  uint32_t late = 0;
  std::optional<uint32_t> code =
      CopyStaged(primitives, true, read, name, &made, &late);
  // No unnamed file here, or no way to name one (a link through /proc
  // without /proc): the bytes go to a file with a name of its own, in the
  // program's own folder, which is first cleared of what killed runs left
  // there. An unnamed file never touches that folder.
  if (!code) {
    primitives.RemoveLeftovers();
    code = CopyStaged(primitives, false, read, name, &made, &late);
  }
  if (!code) return kErrorNotSupported;
  if (*code != 0) return *code;
  if (late != 0) {
    // The copy may not be whole on the disk: the name just given is taken
    // back, if it still holds this copy, and the source stays.
    if (made &&
        primitives.ProofOfName(name).value_or(FileProof{}).id == made->id) {
      primitives.RemoveName(name);
    }
    return late;
  }
  receipt->source = read;
  // What the name holds, as the source's removal will look it up: the
  // copy's size, and its file where names keep file numbers.
  const std::optional<FileProof> named = primitives.ProofOfName(name);
  if (made && named && named->size == made->size &&
      (named->id == made->id || !primitives.NamesKeepFileIds())) {
    receipt->copy = *named;
  }
  return 0;
}

uint32_t Folder::CopyIn(const std::string& source, const std::string& name,
                        CopyReceipt* receipt) {
  const std::unique_ptr<CopyPrimitives> primitives = StartCopy();
  return CopyNoReplace(*primitives, source, name, receipt);
}

}  // namespace stashwell
