// A view of a file's bytes mapped into memory, so that a long message is
// scanned where the system keeps it instead of being copied block by
// block.
//
// A touch of a mapped page that the system cannot serve, past the end of
// a file another program cut short or where the disk fails to read, would
// end the process (SIGBUS). While a view is held, a guard puts a page of
// zeros there instead and notes it; letting the view go then reports the
// read failed. Zeros hold no line end, so no line is ever completed from
// them.
#ifndef STASHWELL_PLATFORM_POSIX_MAPPED_VIEW_H_
#define STASHWELL_PLATFORM_POSIX_MAPPED_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace stashwell {

class MappedView {
 public:
  MappedView() = default;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() { Release(); }

  // Lets the view before go, then maps up to most bytes of the open file
  // fd from offset on (*bytes is empty at its end). 0, a Win32 code, or
  // kErrorNotSupported where the file cannot be mapped.
  uint32_t Map(int fd, uint64_t offset, size_t most, std::string_view* bytes);
  // Lets the view go: 0, or kErrorReadBeyondEnd when the file was cut
  // short under it.
  uint32_t Release();
  // Whether views of fd from offset on cost less than reads: two trial
  // stretches are each read once and mapped once, and the first touches
  // of their mapped pages must take less than three quarters of the read
  // (the faster of the two on each side). A file shorter than the trial is
  // read.
  static bool Pays(int fd, uint64_t offset);

 private:
  void* start_ = nullptr;
  size_t length_ = 0;
  int fd_ = -1;
  uint64_t end_ = 0;  // the file offset just past the view
};

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_MAPPED_VIEW_H_
