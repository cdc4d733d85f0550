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
// A view of the file is read from main memory, where the processor
// fetches ahead within a page only: the marking asks for the bytes two
// pages ahead, so the walk seldom waits at a page's start. A prefetch past
// the end of the block never faults.
constexpr size_t kPrefetchAhead = 8192;

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

// What a wanted line's check needs to know of 64 bytes, one bit a byte.
struct LineBits {
  uint64_t line_feeds;
  uint64_t special;  // CR and Ctrl-Z
};

// The scanners tell of 64 bytes at p, one bit a byte, which of them start a
// line that matters: the byte before it (p[-1] for the first) is an LF, and
// it is marked (every byte is when every line is wanted). The marked bytes
// are the wanted first bytes, Ctrl-Z (the end of the text) and CR (dropped,
// so the byte after it starts the line's text).

// The scan with 16-byte vectors, which every x86-64 processor has.
class SseScanner {
 public:
  SseScanner(const WantedBytes& wanted, const ByteClasses&, bool every)
      : every_(_mm_set1_epi8(every ? -1 : 0)) {
    for (size_t i = 0; i < wanted.size(); ++i) {
      wanted_[i] = _mm_set1_epi8(wanted[i]);
    }
  }
  uint64_t Starts(const char* p) const {
    const __m128i line_feed = _mm_set1_epi8(kLineFeed);
    const __m128i carriage_return = _mm_set1_epi8(kCarriageReturn);
    uint64_t starts = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      const __m128i before =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i - 1));
      __m128i mark =
          _mm_or_si128(every_, _mm_cmpeq_epi8(bytes, carriage_return));
      for (size_t k = 0; k < std::size(wanted_); ++k) {
        mark = _mm_or_si128(mark, _mm_cmpeq_epi8(bytes, wanted_[k]));
      }
      starts |= Bits(_mm_and_si128(mark, _mm_cmpeq_epi8(before, line_feed)))
                << (16 * i);
    }
    return starts;
  }
  // The index of the lowest bit set; 64 when none is.
  static int FirstBit(uint64_t bits) { return std::countr_zero(bits); }
  // The bits below bit count (all of them from 64 on).
  static uint64_t LowBits(uint64_t bits, unsigned count) {
    return count >= 64 ? bits : bits & ((uint64_t{1} << count) - 1);
  }
  // The starts of each of windows windows of 64 bytes from p, one word
  // each into words.
  void Mark(const char* p, size_t windows, uint64_t* words) const {
    for (size_t w = 0; w < windows; ++w, p += 64) {
      __builtin_prefetch(p + kPrefetchAhead);
      words[w] = Starts(p);
    }
  }
  // One bit for each of the first count words (at most 32) that is not 0,
  // of the 32 words at words.
  static uint32_t MarkedWindows(const uint64_t* words, size_t count) {
    uint32_t windows = 0;
    for (size_t w = 0; w < count; ++w) {
      windows |= static_cast<uint32_t>(words[w] != 0) << w;
    }
    return windows;
  }
  // The LFs, CRs and Ctrl-Zs of the 64 bytes at p.
  LineBits Line(const char* p) const {
    const __m128i line_feed = _mm_set1_epi8(kLineFeed);
    const __m128i carriage_return = _mm_set1_epi8(kCarriageReturn);
    const __m128i end_of_text = _mm_set1_epi8(kEndOfText);
    uint64_t lf = 0, special = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      lf |= Bits(_mm_cmpeq_epi8(bytes, line_feed)) << (16 * i);
      special |= Bits(_mm_or_si128(_mm_cmpeq_epi8(bytes, carriage_return),
                                   _mm_cmpeq_epi8(bytes, end_of_text)))
                 << (16 * i);
    }
    return {lf, special};
  }

 private:
  static uint64_t Bits(__m128i mask) {
    return static_cast<uint32_t>(_mm_movemask_epi8(mask));
  }
  __m128i every_;
  __m128i wanted_[std::tuple_size_v<WantedBytes>];
};

#if defined(STASHWELL_HAVE_AVX2_PATH)
#if defined(STASHWELL_HAVE_GLIBC_CPU_FEATURES)
// glibc has looked at the processor already, at start-up. Asking the
// processor again (CPUID) costs microseconds each time in a virtual machine,
// and the compiler's own check would do it at every start of the program.
bool HaveAvx2() {
  return CPU_FEATURE_ACTIVE(AVX2) && CPU_FEATURE_ACTIVE(BMI1) &&
         CPU_FEATURE_ACTIVE(BMI2) && CPU_FEATURE_ACTIVE(POPCNT);
}
#else
bool HaveAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}
#endif

// The same with 32-byte vectors, on processors that have them, and the
// marked bytes told by two table lookups (the processor's byte shuffle)
// rather than one comparison each: a byte is marked when the classes of
// its low half and of its high half share a bit, and each marked byte has
// a bit of its own.
class Avx2Scanner {
 public:
  __attribute__((target("avx2")))
  Avx2Scanner(const WantedBytes&, const ByteClasses& classes, bool every)
      : low_(Table(classes.low)),
        high_(Table(classes.high)),
        every_(_mm256_set1_epi8(every ? -1 : 0)) {}
  __attribute__((target("avx2"))) uint64_t Starts(const char* p) const {
    const __m256i low_half = _mm256_set1_epi8(0x0f);
    uint64_t starts = 0;
    for (int i = 0; i < 2; ++i) {
      const __m256i bytes = Load(p + 32 * i);
      const __m256i low = _mm256_and_si256(bytes, low_half);
      const __m256i high =
          _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_half);
      const __m256i shared = _mm256_and_si256(_mm256_shuffle_epi8(low_, low),
                                              _mm256_shuffle_epi8(high_, high));
      // Not marked, and not every line wanted.
      const __m256i passed = _mm256_andnot_si256(
          every_, _mm256_cmpeq_epi8(shared, _mm256_setzero_si256()));
      starts |= Bits(_mm256_andnot_si256(passed, AfterLineFeed(p + 32 * i)))
                << (32 * i);
    }
    return starts;
  }
  // The processors with AVX2 count trailing zeros of none, and keep low
  // bits, without a test.
  __attribute__((target("bmi"))) static int FirstBit(uint64_t bits) {
    return static_cast<int>(_tzcnt_u64(bits));
  }
  __attribute__((target("bmi2"))) static uint64_t LowBits(uint64_t bits,
                                                          unsigned count) {
    return _bzhi_u64(bits, count);
  }
  __attribute__((target("avx2"))) void Mark(const char* p, size_t windows,
                                            uint64_t* words) const {
    for (size_t w = 0; w < windows; ++w, p += 64) {
      __builtin_prefetch(p + kPrefetchAhead);
      words[w] = Starts(p);
    }
  }
  // The same, four words to a comparison.
  __attribute__((target("avx2"))) static uint32_t MarkedWindows(
      const uint64_t* words, size_t count) {
    uint32_t empty = 0;
    for (unsigned w = 0; w < 32; w += 4) {
      const __m256i four =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + w));
      const __m256i zero = _mm256_cmpeq_epi64(four, _mm256_setzero_si256());
      empty |=
          static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(zero)))
          << w;
    }
    const uint32_t counted =
        count >= 32 ? ~uint32_t{0} : (uint32_t{1} << count) - 1;
    return ~empty & counted;
  }
  __attribute__((target("avx2"))) LineBits Line(const char* p) const {
    const __m256i line_feed = _mm256_set1_epi8(kLineFeed);
    const __m256i carriage_return = _mm256_set1_epi8(kCarriageReturn);
    const __m256i end_of_text = _mm256_set1_epi8(kEndOfText);
    uint64_t lf = 0, special = 0;
    for (int i = 0; i < 2; ++i) {
      const __m256i bytes = Load(p + 32 * i);
      lf |= Bits(_mm256_cmpeq_epi8(bytes, line_feed)) << (32 * i);
      special |= Bits(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, carriage_return),
                                      _mm256_cmpeq_epi8(bytes, end_of_text)))
                 << (32 * i);
    }
    return {lf, special};
  }

 protected:
  __attribute__((target("avx2"))) static __m256i Load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  // Of the 32 bytes at p, those whose byte before is an LF.
  __attribute__((target("avx2"))) static __m256i AfterLineFeed(const char* p) {
    return _mm256_cmpeq_epi8(Load(p - 1), _mm256_set1_epi8(kLineFeed));
  }
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
  __m256i every_;
};

// When no two marked bytes share a low half, none is above 0x7f and not
// every line is wanted, one table lookup a byte tells them: the byte the
// table gives for a byte's low half is that byte exactly when it is
// marked. The shuffle itself reads only the low half of a byte below 0x80,
// and gives 0 for the others, which no byte above 0x7f equals.
class Avx2LowHalfScanner : public Avx2Scanner {
 public:
  __attribute__((target("avx2")))
  Avx2LowHalfScanner(const WantedBytes& wanted, const ByteClasses& classes,
                     bool every)
      : Avx2Scanner(wanted, classes, every), by_low_(Table(classes.by_low)) {}
  // Each half window's 32 bits are stored as they are, into the low and
  // the high half of its word (x86 keeps the low half first), two windows
  // to a turn.
  __attribute__((target("avx2"))) void Mark(const char* p, size_t windows,
                                            uint64_t* words) const {
    char* halves = reinterpret_cast<char*>(words);
#pragma GCC unroll 2
    for (size_t w = 0; w < windows; ++w, p += 64, halves += 8) {
      __builtin_prefetch(p + kPrefetchAhead);
      const uint32_t low = HalfStarts(p);
      const uint32_t high = HalfStarts(p + 32);
      std::memcpy(halves, &low, sizeof low);
      std::memcpy(halves + 4, &high, sizeof high);
    }
  }
  __attribute__((target("avx2"))) uint64_t Starts(const char* p) const {
    return HalfStarts(p) | uint64_t{HalfStarts(p + 32)} << 32;
  }

 private:
  // The starts among the 32 bytes at p.
  __attribute__((target("avx2"))) uint32_t HalfStarts(const char* p) const {
    const __m256i bytes = Load(p);
    const __m256i marked =
        _mm256_cmpeq_epi8(bytes, _mm256_shuffle_epi8(by_low_, bytes));
    // An empty line, CR LF, is no wanted line: its CR is not marked.
    const __m256i empty_line = _mm256_and_si256(
        _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(kCarriageReturn)),
        _mm256_cmpeq_epi8(Load(p + 1), _mm256_set1_epi8(kLineFeed)));
    return static_cast<uint32_t>(Bits(_mm256_andnot_si256(
        empty_line, _mm256_and_si256(marked, AfterLineFeed(p)))));
  }

  __m256i by_low_;
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
  ChooseWalk();
}

void LineSplitter::MarkBytes() {
  // One class bit for each byte marked: the wanted first bytes, Ctrl-Z and
  // CR, at most 7 of them.
  classes_ = {};
  for (size_t half = 0; half < classes_.by_low.size(); ++half) {
    classes_.by_low[half] = static_cast<uint8_t>(half ^ 1);
  }
  classes_.one_lookup_tells = true;
  std::array<char, std::tuple_size_v<decltype(vector_wanted_)> + 1> marked;
  std::copy(vector_wanted_.begin(), vector_wanted_.end(), marked.begin());
  marked.back() = kCarriageReturn;
  for (size_t i = 0; i < marked.size(); ++i) {
    const auto byte = static_cast<unsigned char>(marked[i]);
    const auto bit = static_cast<uint8_t>(1u << i);
    classes_.low[byte & 0x0f] |= bit;
    classes_.high[byte >> 4] |= bit;
    uint8_t& by_low = classes_.by_low[byte & 0x0f];
    if (((by_low & 0x0f) == (byte & 0x0f) && by_low != byte) || byte > 0x7f) {
      classes_.one_lookup_tells = false;
    }
    by_low = byte;
  }
}

void LineSplitter::PassOverLinesNotStartingWith(std::string_view first_bytes) {
  prefixes_known_ = false;
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
      ChooseWalk();
      return;
    }
    vector_wanted_[count++] = static_cast<char>(b);
  }
  every_line_wanted_ = false;
  MarkBytes();
  ChooseWalk();
}

void LineSplitter::PassOverLinesWithoutPrefix(
    std::initializer_list<std::string_view> prefixes) {
  std::string first_bytes;
  for (const std::string_view prefix : prefixes) {
    if (!prefix.empty()) first_bytes += prefix[0];
  }
  PassOverLinesNotStartingWith(first_bytes);
  std::array<PrefixStart, 256> starts{};
  for (const std::string_view prefix : prefixes) {
    // An empty prefix, or two with one first byte: the first bytes tell
    // nothing more.
    if (prefix.empty()) return;
    PrefixStart& start = starts[static_cast<unsigned char>(prefix[0])];
    if (start.length != 0) return;
    start.length = std::min(prefix.size(), start.bytes.size());
    std::copy_n(prefix.begin(), start.length, start.bytes.begin());
  }
  prefix_starts_ = starts;
  prefixes_known_ = true;
}

void LineSplitter::Feed(std::string_view block) {
  block_ = block;
  pos_ = 0;
  windows_begun_ = false;
  chain_start_marked_ = false;
  window_bits_ = 0;
  marked_windows_ = 0;
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
inline __attribute__((always_inline)) bool LineSplitter::MarkStretch(
    const Scanner& scanner) {
  // Lines of mail are short, and few are wanted: each window of 64 bytes
  // tells at once where lines start and which of them start with a marked
  // byte, without a branch for the lines passed over. A line that starts
  // with no marked byte is not wanted whatever else it holds: a lone CR or
  // a Ctrl-Z inside it changes its text, never where the next line starts.
  const char* const data = block_.data();
  // The last bytes of a block, and lines that run on into the next block,
  // take the general rules; a marked start has a byte after it.
  const size_t size = block_.size();
  if (next_window_ + 65 > size) return false;
  const size_t stretch_end =
      std::min(next_window_ + kStretchBytes, size - 64) - next_window_;
  stretch_start_ = next_window_;
  // One word per window, then one bit per window that holds a marked
  // start: the lines passed over cost a store each, not a branch.
  static_assert(kStretchWindows == 32, "one bit a window in 32 bits");
  const size_t windows = (stretch_end + 63) / 64;
  scanner.Mark(data + stretch_start_, windows, window_starts_.data());
  next_window_ = stretch_start_ + 64 * windows;
  marked_windows_ = Scanner::MarkedWindows(window_starts_.data(), windows);
  return true;
}

inline bool LineSplitter::PassedByPrefix(size_t start) const {
  if (!prefixes_known_ || every_line_wanted_ || start + 16 > block_.size()) {
    return false;
  }
  const PrefixStart& prefix =
      prefix_starts_[static_cast<unsigned char>(block_[start])];
  if (prefix.length == 0) return false;
  const __m128i bytes =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(block_.data() + start));
  const __m128i expected =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(prefix.bytes.data()));
  const auto differ = static_cast<uint32_t>(
                          ~_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, expected))) &
                      ((uint32_t{1} << prefix.length) - 1);
  if (differ == 0) return false;
  // A CR where the prefix differs is dropped from the text, which may
  // still start with the prefix; any other byte there (an LF, a Ctrl-Z
  // that ends the text) settles that it does not.
  return block_[start + static_cast<size_t>(std::countr_zero(differ))] !=
         kCarriageReturn;
}

template <typename Scanner>
inline __attribute__((always_inline)) size_t LineSplitter::CommonLineEnd(
    const Scanner& scanner, size_t start) const {
  const char* const data = block_.data();
  const size_t size = block_.size();
  // Lines of mail are shorter than 128 bytes: two windows tell where the
  // line ends and whether it is common, with no branch on which of them
  // holds the LF.
  if (start + 128 <= size) {
    const LineBits first = scanner.Line(data + start);
    const LineBits second = scanner.Line(data + start + 64);
    if ((first.line_feeds | second.line_feeds) != 0) {
      const unsigned in_first =
          static_cast<unsigned>(Scanner::FirstBit(first.line_feeds));
      const unsigned in_second =
          static_cast<unsigned>(Scanner::FirstBit(second.line_feeds));
      // in_first is 64 when the first window holds no LF.
      const unsigned lf = in_first + (in_first >> 6) * in_second;
      // The bytes before the one before the LF hold no CR or Ctrl-Z.
      const unsigned clean = lf == 0 ? 0 : lf - 1;
      const unsigned clean_in_second = clean > 64 ? clean - 64 : 0;
      const uint64_t special =
          Scanner::LowBits(first.special, clean) |
          Scanner::LowBits(second.special, clean_in_second);
      return special != 0 ? kNone : start + lf;
    }
  }
  for (size_t w = start; w + 64 <= size; w += 64) {
    const LineBits bits = scanner.Line(data + w);
    if (bits.line_feeds == 0) {
      if (bits.special != 0) return kNone;
      continue;
    }
    // No CR or Ctrl-Z from the line's start up to the byte before its
    // LF, which TakeCommonLine drops. A CR that ends the window before the
    // LF's is left to the general rules.
    const int lf = std::countr_zero(bits.line_feeds);
    const uint64_t before = lf == 0 ? 0 : (uint64_t{1} << (lf - 1)) - 1;
    return (bits.special & before) != 0 ? kNone : w + static_cast<size_t>(lf);
  }
  return kNone;
}

template <typename Scanner>
inline __attribute__((always_inline)) size_t LineSplitter::NextWantedWith() {
  const Scanner scanner(vector_wanted_, classes_, every_line_wanted_);
  const char* const data = block_.data();
  // The marked windows of this block begin at a line start: the first the
  // walk meets, or the one the general rules left it at, past them. Each
  // byte after it is told to start a line by the byte before it; the line
  // start itself is told here.
  if (!windows_begun_ || (pos_ > next_window_ && !chain_start_marked_ &&
                          window_bits_ == 0 && marked_windows_ == 0)) {
    if (pos_ + 65 > block_.size()) return kNone;
    windows_begun_ = true;
    const char c = data[pos_];
    chain_start_ = pos_;
    chain_start_marked_ = Wanted(c) || c == kCarriageReturn;
    window_bits_ = 0;
    marked_windows_ = 0;
    next_window_ = pos_ + 1;
  }
  for (;;) {
    size_t start;
    if (window_bits_ != 0) {
      start = stretch_start_ + 64 * window_ +
              static_cast<size_t>(Scanner::FirstBit(window_bits_));
      window_bits_ &= window_bits_ - 1;
    } else if (marked_windows_ != 0) {
      window_ = static_cast<size_t>(std::countr_zero(marked_windows_));
      marked_windows_ &= marked_windows_ - 1;
      window_bits_ = window_starts_[window_];
      continue;
    } else if (chain_start_marked_) {
      chain_start_marked_ = false;
      start = chain_start_;
    } else if (MarkStretch(scanner)) {
      continue;
    } else {
      break;
    }
    // The general rules took this line already.
    if (start < pos_) continue;
    pos_ = start;
    const char c = data[start];
    // An empty line, CR LF, is no wanted line (when not every line is).
    if (c == kCarriageReturn && data[start + 1] == kLineFeed &&
        !every_line_wanted_) {
      continue;
    }
    if (c == kCarriageReturn || c == kEndOfText) return kNone;
    if (PassedByPrefix(start)) continue;
    return CommonLineEnd(scanner, start);
  }
  // The line the rest of the block begins in.
  size_t line_start = std::max(next_window_, pos_);
  while (line_start > pos_ && data[line_start - 1] != kLineFeed) --line_start;
  pos_ = line_start;
  return kNone;
}
#endif

size_t LineSplitter::NextWantedSse2() {
#if defined(__SSE2__)
  return NextWantedWith<SseScanner>();
#else
  return NextWantedBySearch();
#endif
}

#if defined(STASHWELL_HAVE_AVX2_PATH)
// Compiled for AVX2 as a whole, so that the window scan is inlined into the
// walk, with the bit counts of the processors that have AVX2.
__attribute__((target("avx2,bmi,bmi2,popcnt"))) size_t
LineSplitter::NextWantedAvx2() {
  return NextWantedWith<Avx2Scanner>();
}

__attribute__((target("avx2,bmi,bmi2,popcnt"))) size_t
LineSplitter::NextWantedAvx2ByLowHalf() {
  return NextWantedWith<Avx2LowHalfScanner>();
}
#else
size_t LineSplitter::NextWantedAvx2() { return NextWantedSse2(); }
size_t LineSplitter::NextWantedAvx2ByLowHalf() { return NextWantedSse2(); }
#endif

void LineSplitter::ChooseWalk() {
  switch (method_) {
    case Method::kAvx2:
      next_wanted_ = classes_.one_lookup_tells && !every_line_wanted_
                         ? &LineSplitter::NextWantedAvx2ByLowHalf
                         : &LineSplitter::NextWantedAvx2;
      break;
    case Method::kSse2:
      next_wanted_ = &LineSplitter::NextWantedSse2;
      break;
    case Method::kSearch:
      next_wanted_ = &LineSplitter::NextWantedBySearch;
      break;
  }
}

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
  // (a line that runs on was gathered), so that block's buffer or view can
  // go.
  if (read_once_ && before_read_) before_read_();
  read_once_ = true;
  if (grow_) {
    grow_ = false;
    const uint32_t code = file_->ViewPays(offset_)
                              ? file_->View(offset_, kViewSize, &current_)
                              : kErrorNotSupported;
    if (code != kErrorNotSupported) {
      CheckInOut(code, InOutOperation::kMessageRead, path_);
      viewing_ = true;
      offset_ += current_.size();
      return current_;
    }
    block_ = MakePageBuffer(kLongBlockSize);
    block_size_ = kLongBlockSize;
  } else if (viewing_) {
    CheckInOut(file_->View(offset_, kViewSize, &current_),
               InOutOperation::kMessageRead, path_);
    offset_ += current_.size();
    return current_;
  }
  size_t count = 0;
  CheckInOut(file_->Read(block_.get(), block_size_, &count),
             InOutOperation::kMessageRead, path_);
  // A full first block: the message is longer, and is read on in long
  // blocks.
  grow_ = block_size_ == kBlockSize && count == kBlockSize;
  offset_ += count;
  current_ = std::string_view(block_.get(), count);
  return current_;
}

void MessageReader::Close() {
  CheckInOut(file_->Close(), InOutOperation::kMessageClose, path_);
}

}  // namespace stashwell
