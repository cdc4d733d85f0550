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
#include <cstdint>
#include <memory>
#include <new>

namespace stashwell {

// The smallest page of the systems the program runs on.
inline constexpr size_t kPageSize = 4096;

// Frees the whole allocation the aligned block was cut from.
struct PageBufferDeleter {
  void* allocation = nullptr;
  void operator()(char*) const { ::operator delete(allocation); }
};

// A block of bytes that starts on a page boundary.
using PageBuffer = std::unique_ptr<char[], PageBufferDeleter>;

// size bytes (at least one), not zeroed, so that pages no read reaches are
// never touched. Throws std::bad_alloc as new does. The block is cut from a
// plain allocation one page longer, not taken from the aligned operator
// new: glibc serves each aligned request from fresh memory (it asks for
// the size plus the alignment, more than the block freed before it), so
// each file comparison of a run touched new pages, 9 page faults each at
// 10 to 15 us on a virtual machine; a plain request of the same size takes
// the block freed before it, whose pages are already there.
inline PageBuffer MakePageBuffer(size_t size) {
  void* const allocation = ::operator new((size == 0 ? 1 : size) + kPageSize);
  const uintptr_t at = reinterpret_cast<uintptr_t>(allocation);
  const uintptr_t aligned = (at + kPageSize - 1) & ~uintptr_t{kPageSize - 1};
  return PageBuffer(reinterpret_cast<char*>(aligned),
                    PageBufferDeleter{allocation});
}

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_PAGE_BUFFER_H_
