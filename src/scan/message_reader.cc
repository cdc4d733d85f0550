#include "scan/message_reader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define STASHWELL_HAVE_AVX2_PATH 1
// glibc's header is written in C: it names C's _Bool, which GCC's C++
// accepts and clang's does not.
#if defined(__GLIBC__) && !defined(__clang__) && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define STASHWELL_HAVE_GLIBC_CPU_FEATURES 1
#endif
#endif

#include "run/in_out_error.h"

namespace stashwell {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
constexpr char kEndOfText = 26;  // Ctrl-Z

// Index of the first Ctrl-Z, or of the first CR that is not directly
// followed by an LF, in bytes; bytes.size() when there is none. A CR in the
// last byte counts: what follows it is not known yet. Whole chunks are
// tested without branches, so the compiler can test many bytes at once.
size_t FirstIrregularByte(std::string_view bytes) {
  constexpr size_t kChunk = 64;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  for (; i + kChunk < n; i += kChunk) {
    // Kept in bytes, so that the compiler's vectors hold one byte a lane.
    unsigned char flags = 0;
    for (size_t k = 0; k < kChunk; ++k) {
      const unsigned char c = p[i + k];
      const unsigned char next = p[i + k + 1];
      flags |= static_cast<unsigned char>(
          (c == kEndOfText) | ((c == kCarriageReturn) & (next != kLineFeed)));
    }
    if (flags != 0) break;
  }
  for (; i < n; ++i) {
    if (p[i] == kEndOfText) return i;
    if (p[i] == kCarriageReturn && (i + 1 == n || p[i + 1] != kLineFeed)) {
      return i;
    }
  }
  return n;
}

#if defined(__SSE2__)
constexpr bool kHaveVectors = true;

using WantedBytes = std::array<char, 6>;
using ByteClasses = LineSplitter::ByteClasses;

// What the vector walk needs to know of 64 bytes, one bit a byte.
struct WindowBits {
  uint64_t line_feeds;
  // The bytes a line that matters may start with: the wanted first bytes,
  // Ctrl-Z (the end of the text) and CR (dropped, so the byte after it
  // starts the line's text).
  uint64_t marked;
};

// The window scan with 16-byte vectors, which every x86-64 processor has.
class SseScanner {
 public:
  explicit SseScanner(const WantedBytes& wanted, const ByteClasses&) {
    for (size_t i = 0; i < wanted.size(); ++i) {
      wanted_[i] = _mm_set1_epi8(wanted[i]);
    }
  }
  WindowBits Scan(const char* p) const {
    const __m128i line_feed = _mm_set1_epi8(kLineFeed);
    const __m128i carriage_return = _mm_set1_epi8(kCarriageReturn);
    uint64_t lf = 0, marked = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      __m128i mark = _mm_cmpeq_epi8(bytes, carriage_return);
      for (size_t k = 0; k < std::size(wanted_); ++k) {
        mark = _mm_or_si128(mark, _mm_cmpeq_epi8(bytes, wanted_[k]));
      }
      const int shift = 16 * i;
      lf |= Bits(_mm_cmpeq_epi8(bytes, line_feed)) << shift;
      marked |= Bits(mark) << shift;
    }
    return {lf, marked};
  }
  // The LFs of the 64 bytes at p.
  uint64_t LineFeeds(const char* p) const {
    const __m128i line_feed = _mm_set1_epi8(kLineFeed);
    uint64_t lf = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      lf |= Bits(_mm_cmpeq_epi8(bytes, line_feed)) << (16 * i);
    }
    return lf;
  }
  // The CRs and Ctrl-Zs of the 64 bytes at p.
  uint64_t Special(const char* p) const {
    const __m128i carriage_return = _mm_set1_epi8(kCarriageReturn);
    const __m128i end_of_text = _mm_set1_epi8(kEndOfText);
    uint64_t special = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      special |= Bits(_mm_or_si128(_mm_cmpeq_epi8(bytes, carriage_return),
                                   _mm_cmpeq_epi8(bytes, end_of_text)))
                 << (16 * i);
    }
    return special;
  }

 private:
  static uint64_t Bits(__m128i mask) {
    return static_cast<uint32_t>(_mm_movemask_epi8(mask));
  }
  __m128i wanted_[std::tuple_size_v<WantedBytes>];
};

#if defined(STASHWELL_HAVE_AVX2_PATH)
#if defined(STASHWELL_HAVE_GLIBC_CPU_FEATURES)
// glibc has looked at the processor already, at start-up. Asking the
// processor again (CPUID) costs microseconds each time in a virtual machine,
// and the compiler's own check would do it at every start of the program.
bool HaveAvx2() { return CPU_FEATURE_ACTIVE(AVX2); }
#else
bool HaveAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

// The same with 32-byte vectors, on processors that have them, and the
// marked bytes told by two table lookups (the processor's byte shuffle)
// rather than one comparison each: a byte is marked when the classes of
// its low half and of its high half share a bit, and each marked byte has
// a bit of its own. The window scan is most of the walk's work.
class Avx2Scanner {
 public:
  __attribute__((target("avx2")))
  Avx2Scanner(const WantedBytes&, const ByteClasses& classes)
      : low_(Table(classes.low)), high_(Table(classes.high)) {}
  __attribute__((target("avx2"))) WindowBits Scan(const char* p) const {
    const __m256i line_feed = _mm256_set1_epi8(kLineFeed);
    const __m256i low_half = _mm256_set1_epi8(0x0f);
    uint64_t lf = 0, unmarked = 0;
    for (int i = 0; i < 2; ++i) {
      const __m256i bytes =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
      const __m256i low = _mm256_and_si256(bytes, low_half);
      const __m256i high =
          _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_half);
      const __m256i shared = _mm256_and_si256(_mm256_shuffle_epi8(low_, low),
                                              _mm256_shuffle_epi8(high_, high));
      const int shift = 32 * i;
      lf |= Bits(_mm256_cmpeq_epi8(bytes, line_feed)) << shift;
      unmarked |= Bits(_mm256_cmpeq_epi8(shared, _mm256_setzero_si256()))
                  << shift;
    }
    return {lf, ~unmarked};
  }
  __attribute__((target("avx2"))) uint64_t LineFeeds(const char* p) const {
    const __m256i line_feed = _mm256_set1_epi8(kLineFeed);
    uint64_t lf = 0;
    for (int i = 0; i < 2; ++i) {
      const __m256i bytes =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
      lf |= Bits(_mm256_cmpeq_epi8(bytes, line_feed)) << (32 * i);
    }
    return lf;
  }
  __attribute__((target("avx2"))) uint64_t Special(const char* p) const {
    const __m256i carriage_return = _mm256_set1_epi8(kCarriageReturn);
    const __m256i end_of_text = _mm256_set1_epi8(kEndOfText);
    uint64_t special = 0;
    for (int i = 0; i < 2; ++i) {
      const __m256i bytes =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
      special |= Bits(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, carriage_return),
                                      _mm256_cmpeq_epi8(bytes, end_of_text)))
                 << (32 * i);
    }
    return special;
  }

 private:
  __attribute__((target("avx2"))) static __m256i Table(
      const std::array<uint8_t, 16>& table) {
    return _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
  }
  __attribute__((target("avx2"))) static uint64_t Bits(__m256i mask) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(mask));
  }
  __m256i low_;
  __m256i high_;
};
#endif

#else
constexpr bool kHaveVectors = false;
#endif

// The method itself when the processor has it, otherwise the next one.
LineSplitter::Method Available(LineSplitter::Method method) {
  using Method = LineSplitter::Method;
#if defined(STASHWELL_HAVE_AVX2_PATH)
  static const bool have_avx2 = HaveAvx2();
#else
  constexpr bool have_avx2 = false;
#endif
  if (method == Method::kAvx2 && !have_avx2) method = Method::kSse2;
  if (method == Method::kSse2 && !kHaveVectors) method = Method::kSearch;
  return method;
}

}  // namespace

const LineSplitter::Method LineSplitter::kBest = Available(Method::kAvx2);

LineSplitter::LineSplitter(Method method) : method_(Available(method)) {
  wanted_.fill(true);
  vector_wanted_.fill(kEndOfText);
  MarkBytes();
}

void LineSplitter::MarkBytes() {
  // One class bit for each byte marked: the wanted first bytes, Ctrl-Z and
  // CR, at most 7 of them.
  classes_ = {};
  std::array<char, std::tuple_size_v<decltype(vector_wanted_)> + 1> marked;
  std::copy(vector_wanted_.begin(), vector_wanted_.end(), marked.begin());
  marked.back() = kCarriageReturn;
  for (size_t i = 0; i < marked.size(); ++i) {
    const auto byte = static_cast<unsigned char>(marked[i]);
    const auto bit = static_cast<uint8_t>(1u << i);
    classes_.low[byte & 0x0f] |= bit;
    classes_.high[byte >> 4] |= bit;
  }
}

void LineSplitter::PassOverLinesNotStartingWith(std::string_view first_bytes) {
  wanted_.fill(false);
  for (const char c : first_bytes) {
    wanted_[static_cast<unsigned char>(c)] = true;
  }
  // A Ctrl-Z that starts a line ends the text: never passed over.
  wanted_[static_cast<unsigned char>(kEndOfText)] = true;

  vector_wanted_.fill(kEndOfText);
  size_t count = 1;
  for (size_t b = 0; b < wanted_.size(); ++b) {
    if (!wanted_[b] || b == static_cast<unsigned char>(kEndOfText)) continue;
    if (count == vector_wanted_.size()) {
      every_line_wanted_ = true;
      return;
    }
    vector_wanted_[count++] = static_cast<char>(b);
  }
  every_line_wanted_ = false;
  MarkBytes();
}

void LineSplitter::Feed(std::string_view block) {
  block_ = block;
  pos_ = 0;
  clean_end_ = method_ == Method::kSearch ? FirstIrregularByte(block) : 0;
  if (block.empty()) file_ended_ = true;
}

size_t LineSplitter::NextOf(char c, size_t end) const {
  // Only the current line is searched, so every byte is searched once per
  // character however short or long the lines are, and a block's bytes
  // past the line are not read twice.
  const void* found = std::memchr(block_.data() + pos_, c, end - pos_);
  return found ? static_cast<size_t>(static_cast<const char*>(found) -
                                     block_.data())
               : end;
}

void LineSplitter::Gather(std::string_view bytes) {
  gathering_ = true;
  while (!bytes.empty() && gathered_.size() < gather_limit_) {
    const size_t cr = bytes.find(kCarriageReturn);
    const size_t room = gather_limit_ - gathered_.size();
    gathered_.append(bytes.substr(0, std::min(cr, room)));
    if (cr == std::string_view::npos) break;
    bytes.remove_prefix(cr + 1);
  }
  // The first byte of a line's text tells whether it is wanted; a line
  // that is not is passed over from here on, without being kept.
  if (!gathered_.empty() && !Wanted(gathered_.front())) {
    passing_over_ = true;
    skipping_ = true;
    gathered_.clear();
  }
}

void LineSplitter::LimitGatheredLines(size_t limit) {
  gather_limit_ = limit == kNone ? kNone : limit + 1;
}

#if defined(__SSE2__)
template <typename Scanner>
inline __attribute__((always_inline)) size_t LineSplitter::NextWantedWith() {
  // Lines of mail are short, and few are wanted: the windows of 64 bytes
  // tell at once where lines start and which of them start with a marked
  // byte, so the lines passed over cost nothing each. A line that starts
  // with no marked byte is not wanted whatever else it holds: a lone CR or
  // a Ctrl-Z inside it changes its text, never where the next line starts.
  // Only a wanted line is searched for those bytes.
  const Scanner scanner(vector_wanted_, classes_);
  const uint64_t every = every_line_wanted_ ? ~uint64_t{0} : 0;
  const char* const data = block_.data();
  // The last bytes of a block, and lines that run on into the next block,
  // take the general rules.
  const size_t size = block_.size();
  uint64_t carry = 1;  // the window begins a line
  size_t window = pos_;
  for (; window + 65 <= size; window += 64) {
    const WindowBits bits = scanner.Scan(data + window);
    const uint64_t starts = (bits.line_feeds << 1) | carry;
    uint64_t marked = starts & (bits.marked | every);
    while (marked != 0) {
      const int first = std::countr_zero(marked);
      pos_ = window + static_cast<size_t>(first);
      const char c = data[pos_];
      // An empty line, CR LF, is no wanted line (when not every line is).
      if (c == kCarriageReturn && data[pos_ + 1] == kLineFeed && every == 0) {
        marked &= marked - 1;
        continue;
      }
      if (c == kCarriageReturn || c == kEndOfText) return kNone;
      // The line's LF, in this window or a later one.
      uint64_t ends = bits.line_feeds & (~uint64_t{0} << first);
      size_t end_window = window;
      while (ends == 0) {
        end_window += 64;
        if (end_window + 65 > size) return kNone;
        ends = scanner.LineFeeds(data + end_window);
      }
      const size_t lf =
          end_window + static_cast<size_t>(std::countr_zero(ends));
      // No CR or Ctrl-Z from the line's start up to the byte before its
      // LF, which TakeCommonLine drops.
      for (size_t w = window; w < lf; w += 64) {
        uint64_t special = scanner.Special(data + w);
        if (w == window) special &= ~uint64_t{0} << first;
        if (lf - 1 < w + 64) special &= (uint64_t{1} << (lf - 1 - w)) - 1;
        if (special != 0) return kNone;
      }
      return lf;
    }
    carry = bits.line_feeds >> 63;
  }
  // The line the rest of the block begins in.
  size_t line_start = window;
  while (line_start > pos_ && data[line_start - 1] != kLineFeed) --line_start;
  pos_ = line_start;
  return kNone;
}
#endif

size_t LineSplitter::NextWantedByVector() {
#if defined(STASHWELL_HAVE_AVX2_PATH)
  if (method_ == Method::kAvx2) return NextWantedAvx2();
#endif
#if defined(__SSE2__)
  return NextWantedWith<SseScanner>();
#else
  return kNone;
#endif
}

#if defined(STASHWELL_HAVE_AVX2_PATH)
// Compiled for AVX2 as a whole, so that the window scan is inlined into the
// walk.
__attribute__((target("avx2"))) size_t LineSplitter::NextWantedAvx2() {
  return NextWantedWith<Avx2Scanner>();
}
#endif

size_t LineSplitter::NextSearchedLineFeed() {
  if (pos_ >= clean_end_) return kNone;
  const void* lf =
      std::memchr(block_.data() + pos_, kLineFeed, clean_end_ - pos_);
  return lf ? static_cast<size_t>(static_cast<const char*>(lf) - block_.data())
            : kNone;
}

size_t LineSplitter::NextWantedBySearch() {
  for (;;) {
    const size_t lf = NextSearchedLineFeed();
    if (lf == kNone || Wanted(block_[pos_])) return lf;
    pos_ = lf + 1;
  }
}

LineSplitter::Result LineSplitter::NextSlow(std::string_view* line) {
  if (clear_gathered_) {
    gathered_.clear();
    clear_gathered_ = false;
  }
  while (!ended_) {
    if (pos_ == block_.size()) {
      if (!file_ended_) return Result::kNeedMore;
      ended_ = true;
      if (at_line_start_ || passing_over_) break;
      // The last line, without a line end.
      *line = gathered_;
      gathering_ = false;
      clear_gathered_ = true;
      return Result::kLine;
    }
    if (at_line_start_ && block_[pos_] == kEndOfText) {
      ended_ = true;
      break;
    }
    at_line_start_ = false;

    const char* start = block_.data() + pos_;
    const void* lf = std::memchr(start, kLineFeed, block_.size() - pos_);
    const size_t line_end =
        lf ? static_cast<size_t>(static_cast<const char*>(lf) - block_.data())
           : block_.size();
    if (!skipping_) {
      size_t text_end = line_end;
      const size_t end_of_text = NextOf(kEndOfText, line_end);
      if (end_of_text < line_end) {
        text_end = end_of_text;
        skipping_ = true;
      }
      if (lf && !gathering_) {
        // The common cases: the whole line in this block, with no CR or
        // only the one that stands before the LF.
        size_t fast_end = text_end;
        const size_t cr = NextOf(kCarriageReturn, line_end);
        if (cr == line_end - 1 && text_end == line_end) fast_end = cr;
        if (cr >= fast_end) {
          *line = std::string_view(start, fast_end - pos_);
          pos_ = line_end + 1;
          at_line_start_ = true;
          skipping_ = false;
          return Result::kLine;
        }
      }
      const std::string_view text(start, text_end - pos_);
      Gather(text);
    }
    if (!lf) {
      pos_ = block_.size();
      continue;
    }
    pos_ = line_end + 1;
    gathering_ = false;
    at_line_start_ = true;
    skipping_ = false;
    if (passing_over_) {
      passing_over_ = false;
      continue;
    }
    *line = gathered_;
    clear_gathered_ = true;
    return Result::kLine;
  }
  return Result::kEnd;
}

// The block is not zeroed: only the bytes a read delivered are fed to the
// splitter.
MessageReader::MessageReader(std::unique_ptr<File> file, std::string path)
    : file_(std::move(file)),
      path_(std::move(path)),
      block_(MakePageBuffer(kBlockSize)) {}

bool MessageReader::ReadMore(LineSplitter::Result result,
                             std::string_view* line) {
  for (;;) {
    switch (result) {
      case LineSplitter::Result::kLine:
        return true;
      case LineSplitter::Result::kEnd:
        return false;
      case LineSplitter::Result::kNeedMore:
        break;
    }
    splitter_.Feed(ReadBlock());
    result = splitter_.Next(line);
  }
}

std::string_view MessageReader::ReadBlock() {
  // The splitter asks for more only once it is done with the block before
  // (a line that runs on was gathered), so that block's buffer can go.
  if (grow_) {
    grow_ = false;
    block_ = MakePageBuffer(kLongBlockSize);
    block_size_ = kLongBlockSize;
  }
  size_t count = 0;
  CheckInOut(file_->Read(block_.get(), block_size_, &count),
             InOutOperation::kMessageRead, path_);
  // A full first block: the message is longer, and is read on in long
  // blocks.
  grow_ = block_size_ == kBlockSize && count == kBlockSize;
  return std::string_view(block_.get(), count);
}

void MessageReader::Close() {
  CheckInOut(file_->Close(), InOutOperation::kMessageClose, path_);
}

}  // namespace stashwell
