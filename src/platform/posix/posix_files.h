// The POSIX platform's file work, apart from the class that offers it: the
// Win32 code of an errno value, what counts as a file, the destination
// folder with its copy that never replaces, and folder searches with Win32
// attribute bits.
//
// What counts as a file on POSIX: a regular file on a disk. Attachment
// lines come from any sender, so a line may name a FIFO (whose open blocks
// until a writer comes), a device (/dev/zero never ends, /dev/null is a
// node that deletion would remove) or a kernel's generated file (/proc,
// /sys: never deletable, different at every read). None of them is a file
// the mail client saved, and none is handled as one.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_FILES_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_FILES_H_

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_rules.h"
#include "platform/platform.h"

namespace stashwell {

// The Win32 error code of the same meaning as an errno value, so that logs
// and reports read the same on every system.
uint32_t Win32CodeFromErrno(int error);

// The local date and time of an instant, milliseconds included.
DateTimeFields LocalTimeOf(const timespec& instant);
// Last-write time of a stat result.
timespec ModificationTime(const struct stat& st);

// The proof of the regular file fd is open on; nothing when it is no
// regular file or cannot be asked.
std::optional<FileProof> ProofOfOpen(int fd);
// The proof of the regular file name names in the open folder at
// (AT_FDCWD: a whole path), no link followed; nothing for anything else.
// *mode, when given, gets the mode of whatever the name holds.
std::optional<FileProof> ProofOfName(int at, const char* name,
                                     mode_t* mode = nullptr);

// Which of the file systems met so far the kernel generates, by device
// number, so that a run asks each file system once rather than at every
// test and open.
class FileSystemKinds {
 public:
  // The file system is asked through fd when it is 0 or more, else through
  // path, the first time its device is met.
  bool IsGenerated(dev_t device, const char* path, int fd);
  // The same for a file reached by name in the open folder at.
  bool IsGeneratedAt(dev_t device, int at, const char* name);

 private:
  const bool* Find(dev_t device) const;

  std::vector<std::pair<dev_t, bool>> known_;
};

// True when st (of a file reached by following links) is a regular file on
// a file system that stores files: not one of the kernel's generated ones.
// kinds remembers the file systems met.
bool IsDiskFile(const struct stat& st, const char* path, int fd,
                FileSystemKinds& kinds);

// What a stat result's mode says stands at a name: a regular file is taken
// for a disk file (whether the kernel generates it is asked apart).
Found FoundInMode(mode_t mode);

// What name names, taken in the open folder at (AT_FDCWD: the current
// folder, or a whole path): links followed, a link that leads nowhere
// still holds its name, and only a regular file on a disk is a file.
// A name that cannot be looked at for another reason than its absence is
// kUnreachable, with the Win32 code in *code where given (code not null).
PathKind ExamineAt(int at, const char* name, FileSystemKinds& kinds,
                   uint32_t* code);

// Opens path read-only without blocking on a FIFO swapped in after an
// existence test (the non-blocking mode is cleared once it is open).
// Folders open as before, so callers keep their own rule for them; any
// other file that is no disk file is refused as missing (ENOENT). -1 with
// errno set on failure; *opened gets what the open file is, and *proof
// (where given) its proof as the open found it, from the same look.
int OpenDiskFileForRead(const char* path, FileSystemKinds& kinds,
                        struct stat* opened,
                        std::optional<FileProof>* proof = nullptr);

// A destination folder of the run, opened once and kept open to the end of
// the run. Every name is taken relative to it (openat, linkat, renameat2),
// so a folder swapped for a link during the run cannot redirect a later
// copy, which still lands in the folder the run first opened.
//
// Its copies (the protocol of copy_protocol.h) stage their bytes in an
// unnamed O_TMPFILE file of the folder where the file system has one, else
// under a temporary name of the program's own folder inside it, locked
// (flock) while the run lives; they publish an unnamed file by linkat of
// its /proc/self/fd entry (by its descriptor where there is no /proc), a
// named one by renameat2(RENAME_NOREPLACE), a hard link, or over a
// reservation (exFAT and FAT through FUSE, which have neither). The
// source's last-write time and permission bits are kept. Codes: 2 source
// missing, 3 folder gone, 5 access denied, 80 name taken, 112 disk full,
// ...
class PosixFolder : public Folder {
 public:
  // Opens path (links followed; "" is the current folder). kinds remembers
  // which file systems are the kernel's generated ones.
  static uint32_t Open(const std::string& path, std::unique_ptr<Folder>* folder,
                       FileSystemKinds& kinds);
  ~PosixFolder() override;
  PosixFolder(const PosixFolder&) = delete;
  PosixFolder& operator=(const PosixFolder&) = delete;

  PathKind Examine(const std::string& name) override;
  std::unique_ptr<CopyPrimitives> StartCopy() override;
  std::optional<FileProof> ProofOf(const std::string& name) override;
  // From the entry types readdir gives; an entry of unknown type is asked
  // without following a link.
  std::vector<std::string> PlainFileNames(std::string_view prefix,
                                          std::string_view suffix) override;
  // From the size the folder's status gives: the folder grows with its
  // entries on the common file systems (ext4, XFS, btrfs, tmpfs).
  uint32_t ListingCostInLookups() override;
  // fsync of the folder.
  uint32_t Flush() override;

 private:
  PosixFolder(int fd, FileSystemKinds& kinds);

  int fd_;
  FileSystemKinds& kinds_;
};

// The names in a folder, listed once and listed again only when the folder
// has changed since. A run searches the message folder once per mask of the
// sweep, and listing a folder of a few hundred messages costs more than all
// the other file tests of a run together. The entries' times are never kept:
// each search looks at the matching files anew.
class FolderNames {
 public:
  // The names of the folder's entries other than "." and "..", in the
  // order the folder lists them; nullptr when the folder cannot be read.
  const std::vector<std::string>* Get(const std::string& folder);

 private:
  bool valid_ = false;
  std::string folder_;
  // The folder's identity and change times, taken before it was listed: a
  // change during or after the listing gives it new times.
  struct stat seen_ {};
  std::vector<std::string> names_;
};

// The entries of the mask's folder (everything before its last "/", or the
// current folder) whose names match its last component, in the order the
// folder lists them. "." and ".." never appear; entries carrying hidden,
// system, volume or directory bits outside `attributes` are left out. A
// missing or unreadable folder gives no entries.
std::vector<SearchEntry> FindMatchingEntries(const std::string& mask,
                                             uint32_t attributes,
                                             FolderNames& folders);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_FILES_H_
