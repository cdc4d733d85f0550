#include "scan/message_reader.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define STASHWELL_HAVE_AVX2_PATH 1
#endif

#include "run/in_out_error.h"

namespace stashwell {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
constexpr char kEndOfText = 26;  // Ctrl-Z
constexpr size_t kNotSearched = static_cast<size_t>(-1);

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

struct WindowBits {
  uint64_t line_feeds;
  // Ctrl-Z and CR, except those directly followed by an LF: the line's
  // text simply ends before such a byte (TakeCommonLine).
  uint64_t irregular;
};

// The LFs and irregular bytes among the 64 bytes at p; p[64] is read too,
// to tell whether a byte in the last place is followed by an LF.
WindowBits ScanWindow(const char* p) {
  const __m128i line_feed = _mm_set1_epi8(kLineFeed);
  const __m128i carriage_return = _mm_set1_epi8(kCarriageReturn);
  const __m128i end_of_text = _mm_set1_epi8(kEndOfText);
  uint64_t lf = 0, special = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i bytes =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    const int shift = 16 * i;
    lf |= static_cast<uint64_t>(static_cast<uint32_t>(
              _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed))))
          << shift;
    special |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(
                   _mm_or_si128(_mm_cmpeq_epi8(bytes, carriage_return),
                                _mm_cmpeq_epi8(bytes, end_of_text)))))
               << shift;
  }
  const uint64_t lf_follows =
      (lf >> 1) | (static_cast<uint64_t>(p[64] == kLineFeed) << 63);
  return {lf, special & ~lf_follows};
}

#if defined(STASHWELL_HAVE_AVX2_PATH)
// The same with 32-byte vectors, on processors that have them: half the
// instructions for the window, which is most of the scan's own work.
__attribute__((target("avx2"))) inline WindowBits ScanWindowAvx2(
    const char* p) {
  const __m256i line_feed = _mm256_set1_epi8(kLineFeed);
  const __m256i carriage_return = _mm256_set1_epi8(kCarriageReturn);
  const __m256i end_of_text = _mm256_set1_epi8(kEndOfText);
  uint64_t lf = 0, special = 0;
  for (int i = 0; i < 2; ++i) {
    const __m256i bytes =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
    const int shift = 32 * i;
    lf |= static_cast<uint64_t>(static_cast<uint32_t>(
              _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, line_feed))))
          << shift;
    special |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(
                   _mm256_or_si256(_mm256_cmpeq_epi8(bytes, carriage_return),
                                   _mm256_cmpeq_epi8(bytes, end_of_text)))))
               << shift;
  }
  const uint64_t lf_follows =
      (lf >> 1) | (static_cast<uint64_t>(p[64] == kLineFeed) << 63);
  return {lf, special & ~lf_follows};
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

struct Avx2Scanner {
  __attribute__((target("avx2"))) static WindowBits Scan(const char* p) {
    return ScanWindowAvx2(p);
  }
};
#endif

struct SseScanner {
  static WindowBits Scan(const char* p) { return ScanWindow(p); }
};

#else
constexpr bool kHaveVectors = false;
#endif

}  // namespace

const LineSplitter::Method LineSplitter::kBest =
    kHaveVectors ? Method::kVector : Method::kSearch;

LineSplitter::LineSplitter(Method method)
    : method_(kHaveVectors ? method : Method::kSearch) {
  wanted_.fill(true);
}

void LineSplitter::PassOverLinesNotStartingWith(std::string_view first_bytes) {
  wanted_.fill(false);
  for (const char c : first_bytes) {
    wanted_[static_cast<unsigned char>(c)] = true;
  }
  // A Ctrl-Z that starts a line ends the text: never passed over.
  wanted_[static_cast<unsigned char>(kEndOfText)] = true;
}

void LineSplitter::Feed(std::string_view block) {
  block_ = block;
  pos_ = 0;
  next_cr_ = kNotSearched;
  next_eot_ = kNotSearched;
  clean_end_ = method_ == Method::kSearch ? FirstIrregularByte(block) : 0;
  window_valid_ = false;
  window_stop_ = false;
  lf_bits_ = 0;
  if (block.empty()) file_ended_ = true;
}

size_t LineSplitter::NextOf(char c, size_t* cached) {
  // A search runs over the rest of the block and its answer is kept until
  // the position passes it, so every byte is searched once per character
  // however short the lines are.
  if (*cached == kNotSearched || *cached < pos_) {
    const void* found =
        std::memchr(block_.data() + pos_, c, block_.size() - pos_);
    *cached = found ? static_cast<size_t>(static_cast<const char*>(found) -
                                          block_.data())
                    : block_.size();
  }
  return *cached;
}

void LineSplitter::Gather(std::string_view bytes) {
  gathering_ = true;
  while (!bytes.empty()) {
    const size_t cr = bytes.find(kCarriageReturn);
    gathered_.append(bytes.substr(0, cr));
    if (cr == std::string_view::npos) break;
    bytes.remove_prefix(cr + 1);
  }
}

#if defined(__SSE2__)
template <typename Scanner>
inline __attribute__((always_inline)) size_t
LineSplitter::NextWindowLineFeedWith() {
  // Lines of mail are short: finding the LFs of 64 bytes at once costs
  // less than a search per line.
  for (;;) {
    if (lf_bits_ != 0) {
      const size_t at =
          window_ + static_cast<size_t>(std::countr_zero(lf_bits_));
      lf_bits_ &= lf_bits_ - 1;
      return at;
    }
    if (window_stop_) return kNone;
    const size_t next = window_valid_ ? window_ + 64 : pos_;
    // The last bytes of a block, and lines that run on into the next
    // block, take the general rules.
    if (next + 65 > block_.size()) return kNone;
    const WindowBits bits = Scanner::Scan(block_.data() + next);
    window_ = next;
    window_valid_ = true;
    lf_bits_ = bits.line_feeds;
    if (bits.irregular != 0) {
      // Only the LFs before the first irregular byte end common lines.
      lf_bits_ &= (uint64_t{1} << std::countr_zero(bits.irregular)) - 1;
      window_stop_ = true;
    }
  }
}
#endif

size_t LineSplitter::NextWindowLineFeed() {
#if defined(STASHWELL_HAVE_AVX2_PATH)
  if (kHaveAvx2) return NextWindowLineFeedAvx2();
#endif
#if defined(__SSE2__)
  return NextWindowLineFeedWith<SseScanner>();
#else
  return kNone;
#endif
}

#if defined(STASHWELL_HAVE_AVX2_PATH)
// Compiled for AVX2 as a whole, so that the window scan is inlined into the
// loop that walks the windows.
__attribute__((target("avx2"))) size_t LineSplitter::NextWindowLineFeedAvx2() {
  return NextWindowLineFeedWith<Avx2Scanner>();
}
#endif

size_t LineSplitter::NextSearchedLineFeed() {
  if (pos_ >= clean_end_) return kNone;
  const void* lf =
      std::memchr(block_.data() + pos_, kLineFeed, clean_end_ - pos_);
  return lf ? static_cast<size_t>(static_cast<const char*>(lf) - block_.data())
            : kNone;
}

LineSplitter::Result LineSplitter::NextGeneral(std::string_view* line) {
  // The common case: a line whole in this block, ended by an LF with at
  // most a CR before it, and no Ctrl-Z.
  while (at_line_start_ && !ended_) {
    const size_t lf = method_ == Method::kVector ? NextWindowLineFeed()
                                                 : NextSearchedLineFeed();
    if (lf == kNone) break;
    if (Wanted(block_[pos_])) {
      if (block_[pos_] == kEndOfText) break;  // the end of the text
      return TakeCommonLine(lf, line);
    }
    pos_ = lf + 1;
  }
  return NextSlow(line);
}

LineSplitter::Result LineSplitter::NextSlow(std::string_view* line) {
  // The general rules move pos_ on their own.
  window_valid_ = false;
  window_stop_ = false;
  lf_bits_ = 0;
  if (clear_gathered_) {
    gathered_.clear();
    clear_gathered_ = false;
  }
  while (!ended_) {
    if (pos_ == block_.size()) {
      if (!file_ended_) return Result::kNeedMore;
      ended_ = true;
      if (at_line_start_) break;
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
      if (NextOf(kEndOfText, &next_eot_) < line_end) {
        text_end = next_eot_;
        skipping_ = true;
      }
      if (lf && !gathering_) {
        // The common cases: the whole line in this block, with no CR or
        // only the one that stands before the LF.
        size_t fast_end = text_end;
        const size_t cr = NextOf(kCarriageReturn, &next_cr_);
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
    *line = gathered_;
    gathering_ = false;
    clear_gathered_ = true;
    at_line_start_ = true;
    skipping_ = false;
    return Result::kLine;
  }
  return Result::kEnd;
}

// The block is not zeroed: only the bytes a read delivered are fed to the
// splitter.
MessageReader::MessageReader(Platform& platform, FileHandle file)
    : platform_(platform),
      file_(file),
      block_(std::make_unique_for_overwrite<char[]>(kBlockSize)) {}

MessageReader::~MessageReader() {
  if (open_) platform_.Close(file_);
}

bool MessageReader::ReadMore(std::string_view* line) {
  for (;;) {
    size_t count = 0;
    CheckInOut(platform_.Read(file_, block_.get(), kBlockSize, &count));
    splitter_.Feed(std::string_view(block_.get(), count));
    switch (splitter_.Next(line)) {
      case LineSplitter::Result::kLine:
        return true;
      case LineSplitter::Result::kEnd:
        return false;
      case LineSplitter::Result::kNeedMore:
        break;
    }
  }
}

void MessageReader::Close() {
  open_ = false;
  CheckInOut(platform_.Close(file_));
}

}  // namespace stashwell
