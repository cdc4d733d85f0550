#include "transfer/file_identity.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/page_buffer.h"
#include "run/in_out_error.h"

namespace stashwell {
namespace {

constexpr size_t kBlockSize = 16384;

// One file opened for the comparison. The comparison only reads, so the
// file is opened for reading alone and shared with every other program:
// a read-only file, or one on a read-only medium, can be compared. Close
// reports its outcome; a file still open when a failure unwinds the stack
// is closed without a check, since the run is ending anyway.
class BlockFile {
 public:
  explicit BlockFile(Platform& os) : os_(os) {}

  // False when the open failed because the file is gone (another program
  // moved it away since it was found); any other failure raises.
  bool OpenUnlessGone(const std::string& path) {
    path_ = path;
    const uint32_t code = os_.Open(path, FileUse::kComparison, &file_);
    if (code == 0) return true;
    // Not found is gone, even when the name holds a file again by the time
    // it is asked: a FUSE driver whose rename over a name is not atomic
    // (fusefat) leaves it empty for a moment.
    if (code == kErrorFileNotFound || !os_.IsExistingFile(path)) return false;
    CheckInOut(code, InOutOperation::kComparisonOpen, path_);
    return false;
  }
  uint64_t Size() {
    uint64_t size = 0;
    CheckInOut(file_->Size(&size), InOutOperation::kComparisonSize, path_);
    return size;
  }
  size_t Read(char* buffer, size_t size) {
    size_t count = 0;
    CheckInOut(file_->Read(buffer, size, &count),
               InOutOperation::kComparisonRead, path_);
    return count;
  }
  void Close() {
    CheckInOut(file_->Close(), InOutOperation::kComparisonClose, path_);
  }
  File& file() { return *file_; }

 private:
  Platform& os_;
  std::unique_ptr<File> file_;
  std::string path_;
};

// The length of the file at path; false when it is gone.
bool LengthUnlessGone(Platform& os, const std::string& path, uint64_t* length) {
  BlockFile file(os);
  if (!file.OpenUnlessGone(path)) return false;
  *length = file.Size();
  file.Close();
  return true;
}

// Compares the two open files block by block; before_close runs once both
// are read, while they are still open.
template <typename BeforeClose>
bool BlocksEqual(BlockFile& first_file, BlockFile& second_file,
                 BeforeClose before_close) {
  // Two blocks, one per file, read in step: memory stays the same however
  // long the files are. They are not zeroed: only bytes that a read
  // delivered are compared.
  const PageBuffer buffers = MakePageBuffer(2 * kBlockSize);
  char* const first_block = buffers.get();
  char* const second_block = buffers.get() + kBlockSize;
  bool identical = true;
  size_t first_count = 0;
  size_t second_count = 0;
  do {
    first_count = first_file.Read(first_block, kBlockSize);
    second_count = second_file.Read(second_block, first_count);
    // A second read that delivers another count than the first means the
    // files changed under the comparison (their lengths were equal): they
    // are not taken for identical, and no byte beyond what was read is
    // looked at.
    if (second_count != first_count ||
        std::memcmp(first_block, second_block, first_count) != 0) {
      identical = false;
    }
  } while (first_count != 0 && identical && second_count != 0);
  if (identical) before_close();
  first_file.Close();
  second_file.Close();
  return identical;
}

}  // namespace

Comparison CompareFiles(Platform& os, const std::string& first,
                        const std::string& second, ComparedFiles* proofs,
                        KnownFiles known) {
  *proofs = {};
  if (known != KnownFiles::kBothFiles) {
    if (!os.IsExistingFile(first)) return Comparison::kFirstGone;
    if (!os.IsExistingFile(second)) return Comparison::kSecondGone;
  }
  uint64_t first_length = 0;
  uint64_t second_length = 0;
  if (!LengthUnlessGone(os, first, &first_length)) {
    return Comparison::kFirstGone;
  }
  if (!LengthUnlessGone(os, second, &second_length)) {
    return Comparison::kSecondGone;
  }
  if (first_length != second_length) return Comparison::kDifferent;
  BlockFile second_file(os);
  if (!second_file.OpenUnlessGone(second)) return Comparison::kSecondGone;
  BlockFile first_file(os);
  if (!first_file.OpenUnlessGone(first)) return Comparison::kFirstGone;
  const std::optional<FileProof> first_before = first_file.file().Proof();
  const std::optional<FileProof> second_before = second_file.file().Proof();
  // Taken before the files are closed, through the same opens.
  std::optional<FileProof> first_after;
  std::optional<FileProof> second_after;
  uint32_t flush_code = 0;
  const bool identical = BlocksEqual(first_file, second_file, [&] {
    first_after = first_file.file().Proof();
    second_after = second_file.file().Proof();
    flush_code = second_file.file().Flush();
  });
  if (!identical || !first_before || first_before != first_after ||
      !second_before || second_before != second_after || flush_code != 0) {
    return Comparison::kDifferent;
  }
  proofs->first = first_before;
  proofs->second = second_before;
  return Comparison::kIdentical;
}

}  // namespace stashwell
