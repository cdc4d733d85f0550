// The copy that never replaces, written once for every system: the order of
// its steps, which of the ways to publish a copy is taken, and what is
// taken back when a step fails. Each platform's destination folder hands
// out the primitives of one copy (CopyPrimitives): open the source, stage
// a temporary file, write, flush, publish by one operation, look at a
// name. The protocol decides everything else, so the systems cannot drift
// apart in what a copy promises.
#ifndef STASHWELL_PLATFORM_COPY_PROTOCOL_H_
#define STASHWELL_PLATFORM_COPY_PROTOCOL_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace stashwell {

// The operations one copy into one destination folder is made of, on one
// system. Names are file names of that folder. Every code is 0 or a Win32
// code. A primitive that answers nothing (std::nullopt) says that this
// file system offers no such operation: the protocol takes its next way,
// and nothing has changed on the disk.
//
// The object holds what the copy has open (the source, the staged file)
// and closes it when it goes.
class CopyPrimitives {
 public:
  virtual ~CopyPrimitives() = default;

  // Opens source for reading; only a regular file on a disk opens. *read
  // gets what the open reads.
  virtual uint32_t OpenSource(const std::string& source, FileProof* read) = 0;
  // The open source's proof as it is now; nothing when it cannot be asked.
  virtual std::optional<FileProof> SourceProof() = 0;
  // True when anything holds name, no link followed.
  virtual bool IsTaken(const std::string& name) = 0;
  // Removes what runs that no longer live left in the program's own
  // folders of the destination, and each such folder when empty.
  virtual void RemoveLeftovers() = 0;

  // Staging: the file the bytes go into before they get the name.
  // An unnamed file of the destination folder, which vanishes with the
  // process.
  virtual std::optional<uint32_t> StageUnnamed() { return std::nullopt; }
  // A new file of the program's own folder, locked or unshared while the
  // run lives.
  virtual uint32_t StageNamed() = 0;
  // Copies the source from its first byte to its end into the staged file.
  virtual uint32_t CopyBytes() = 0;
  // Gives the staged file the source's last-write time and attributes
  // (POSIX: permission bits; Windows: read-only, hidden, system, archive).
  // What the file system cannot keep fails nothing: the bytes are what
  // must arrive.
  virtual uint32_t KeepMetadata() = 0;
  // Makes the staged file's bytes durable.
  virtual uint32_t SyncStaged() = 0;

  // Publication: each gives the staged file the name by one operation that
  // fails (80) when the name is taken. The protocol tries them in the
  // order below, moving on only while they answer nothing.
  // A link to the staged file (an unnamed one, or a named one whose
  // temporary name then goes).
  virtual std::optional<uint32_t> PublishByLink(const std::string&) {
    return std::nullopt;
  }
  // A rename of the named staged file that never replaces.
  virtual std::optional<uint32_t> PublishByRename(const std::string&) {
    return std::nullopt;
  }
  // Where neither exists: the name is reserved by an exclusive create, and
  // the staged file renamed over that reservation only.
  virtual std::optional<uint32_t> PublishByReservation(const std::string&) {
    return std::nullopt;
  }

  // The staged file's proof through its open (or as it was when a
  // publication had to close it).
  virtual std::optional<FileProof> StagedProof() = 0;
  // Closes the staged file, if still open. A failure after publication
  // means the copy may not be whole on the disk.
  virtual uint32_t CloseStaged() = 0;
  // Ends the staging: the staged file closed, its temporary name removed
  // unless it was published, the program's own folder removed when empty.
  virtual void EndStaging() = 0;

  // The proof of the regular file name holds, no link followed.
  virtual std::optional<FileProof> ProofOfName(const std::string& name) = 0;
  // Removes name (no link followed).
  virtual void RemoveName(const std::string& name) = 0;
  // False where a name given by a link may carry another file number than
  // the file's open (a file system served by path, such as sshfs): then
  // the copy's name is judged by its size alone.
  virtual bool NamesKeepFileIds() { return true; }
};

// Copies source to a new file name through the primitives, never
// replacing anything there: the taken name refused at once, the bytes
// staged (under a name only once the leftovers of dead runs are removed
// from the program's own folder), their time and attributes kept,
// flushed, the source checked unchanged (else 32), then published by the
// first way the file system offers. A publication whose late close fails
// is taken back while the name still holds this copy. Any failure removes
// nothing but the copy's own temporary file. 0 or a Win32 code; *receipt
// gets what was read and made.
uint32_t CopyNoReplace(CopyPrimitives& primitives, const std::string& source,
                       const std::string& name, CopyReceipt* receipt);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_COPY_PROTOCOL_H_
