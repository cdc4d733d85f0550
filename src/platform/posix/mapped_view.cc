#include "platform/posix/mapped_view.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "platform/page_buffer.h"
#include "platform/platform.h"
#include "platform/posix/posix_files.h"

namespace stashwell {
namespace {

// The one view held (a run maps only its message), for the guard to tell
// its pages from any other address.
std::atomic<uintptr_t> view_start{0};
std::atomic<uintptr_t> view_end{0};
std::atomic<bool> view_cut{false};
uintptr_t page_size = 4096;

// A touch of the view that the system cannot serve (past the end of a file
// cut short under it, or where the disk failed): a page of zeros goes
// there, and the touch is tried again. Any other SIGBUS takes the system's
// own course when it is tried again.
void OnBusError(int, siginfo_t* info, void*) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  if (at >= view_start.load() && at < view_end.load()) {
    void* page = reinterpret_cast<void*>(at & ~(page_size - 1));
    if (mmap(page, page_size, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      view_cut.store(true);
      return;
    }
  }
  signal(SIGBUS, SIG_DFL);
}

bool GuardInstalled() {
  static const bool installed = [] {
    page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  return installed;
}

// The trial: two stretches, each long enough that a few faults and a read
// of it take tens of microseconds, well above the clock's grain. The
// faster of two tries counts on each side, so one interruption does not
// decide.
constexpr size_t kTrialBytes = 256 * 1024;
constexpr int kTrials = 2;

}  // namespace

bool MappedView::Pays(int fd, uint64_t offset) {
  using Clock = std::chrono::steady_clock;
  if (!GuardInstalled() || offset % page_size != 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 ||
      static_cast<uint64_t>(st.st_size) < offset + kTrials * kTrialBytes) {
    return false;
  }
  const PageBuffer buffer = MakePageBuffer(kTrialBytes);
  Clock::duration read = Clock::duration::max();
  Clock::duration touch = Clock::duration::max();
  for (int trial = 0; trial < kTrials; ++trial) {
    const uint64_t at = offset + trial * kTrialBytes;
    const Clock::time_point read_start = Clock::now();
    const ssize_t got =
        pread(fd, buffer.get(), kTrialBytes, static_cast<off_t>(at));
    const Clock::time_point read_end = Clock::now();
    if (got != static_cast<ssize_t>(kTrialBytes)) return false;
    MappedView view;
    std::string_view bytes;
    if (view.Map(fd, at, kTrialBytes, &bytes) != 0 ||
        bytes.size() != kTrialBytes) {
      return false;
    }
    // Each page touched once, as the scan would first touch it: the
    // faults are timed, not the mapping, which a view of many stretches
    // pays once.
    const Clock::time_point touch_start = Clock::now();
    for (size_t page = 0; page < bytes.size(); page += page_size) {
      static_cast<void>(
          *static_cast<const volatile char*>(bytes.data() + page));
    }
    const Clock::time_point touch_end = Clock::now();
    if (view.Release() != 0) return false;
    read = std::min(read, read_end - read_start);
    touch = std::min(touch, touch_end - touch_start);
  }
  // A scan over a view reads from main memory rather than from the cache
  // the read left its copy in, which costs about a quarter of the read
  // again: the faults must cost less than the rest.
  return 4 * touch < 3 * read;
}

uint32_t MappedView::Map(int fd, uint64_t offset, size_t most,
                         std::string_view* bytes) {
  if (const uint32_t released = Release(); released != 0) return released;
  *bytes = {};
  struct stat st;
  if (fstat(fd, &st) != 0) return Win32CodeFromErrno(errno);
  const auto size = static_cast<uint64_t>(st.st_size);
  if (offset >= size) return 0;
  if (!GuardInstalled() || offset % page_size != 0) return kErrorNotSupported;
  const size_t length =
      static_cast<size_t>(std::min<uint64_t>(most, size - offset));
  void* start = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd,
                     static_cast<off_t>(offset));
  // A file system that cannot map files has them read.
  if (start == MAP_FAILED) {
    return errno == ENOMEM ? kErrorNotEnoughMemory : kErrorNotSupported;
  }
  start_ = start;
  length_ = length;
  fd_ = fd;
  end_ = offset + length;
  view_cut.store(false);
  view_start.store(reinterpret_cast<uintptr_t>(start));
  view_end.store(reinterpret_cast<uintptr_t>(start) + length);
  *bytes = std::string_view(static_cast<const char*>(start), length);
  return 0;
}

uint32_t MappedView::Release() {
  if (start_ == nullptr) return 0;
  // Cut short: a touch met a page past the end, or the file ends inside
  // the view now (the system shows zeros past the end of its last page).
  struct stat st;
  const bool cut =
      view_cut.load() ||
      (fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) < end_);
  view_start.store(0);
  view_end.store(0);
  munmap(start_, length_);
  start_ = nullptr;
  length_ = 0;
  fd_ = -1;
  return cut ? kErrorReadBeyondEnd : 0;
}

}  // namespace stashwell
