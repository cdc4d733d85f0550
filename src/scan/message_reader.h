// The message file as text: a reader that hands out one line at a time,
// and the pure line splitter behind it.
//
// Text rules: a line ends at LF (byte 10); every CR (byte 13) is dropped,
// the one before the LF as well as a lone one, and a lone CR ends nothing;
// the last line needs no line end; lines have no length limit. Ctrl-Z
// (byte 26) marks the end of the text: as the first byte of a line it ends
// the text there, and nothing after it is read. Inside a line it ends that
// line's text; the rest of that line, up to its LF, is passed over, and
// reading goes on with the next line, so a stray Ctrl-Z costs one line's
// tail, never the rest of the message.
#ifndef STASHWELL_SCAN_MESSAGE_READER_H_
#define STASHWELL_SCAN_MESSAGE_READER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/page_buffer.h"
#include "platform/platform.h"

namespace stashwell {

// Splits a stream of byte blocks into lines by the text rules above,
// without any file. Lines whose bytes lie whole in one block, with no CR
// or Ctrl-Z except one directly before the LF, are handed out as views
// into that block; the others are gathered in a buffer of the splitter's
// own, which grows with the longest such line unless LimitGatheredLines
// bounds it.
class LineSplitter {
 public:
  enum class Result { kLine, kNeedMore, kEnd };
  // How the common lines (whole in one block, no Ctrl-Z, no CR but one
  // before the LF) are found: 64 bytes at a time with the processor's
  // 32-byte (AVX2) or 16-byte (SSE2) vector instructions, or by one pass
  // over the block for irregular bytes and a search for each LF. All give
  // the same lines. A method the processor lacks gives way to the next.
  enum class Method { kAvx2, kSse2, kSearch };
  // The bytes the vector walk marks, as class bits of their low and high
  // halves (the AVX2 walk's table lookups). When no two of them share a
  // low half and none is above 0x7f, one lookup tells them: by_low holds
  // the marked byte of each low half, and for the other halves a byte that
  // has another.
  struct ByteClasses {
    std::array<uint8_t, 16> low;
    std::array<uint8_t, 16> high;
    std::array<uint8_t, 16> by_low;
    bool one_lookup_tells;
  };
  // The first of them that the processor has.
  static const Method kBest;

  explicit LineSplitter(Method method = kBest);

  // Offers the next block. The bytes must stay in place until Next asks
  // for more. An empty block marks the end of the file.
  void Feed(std::string_view block);
  // The next line, valid until the next call of Next or Feed. kNeedMore
  // when the block is used up and the file has not ended; kEnd when the
  // text has ended (for good: later calls answer kEnd again).
  Result Next(std::string_view* line) {
    if (at_line_start_ && !ended_) {
      const size_t lf = (this->*next_wanted_)();
      // A Ctrl-Z that starts a line ends the text: the general rules say so.
      if (lf != kNone && block_[pos_] != kEndOfText) {
        return TakeCommonLine(lf, line);
      }
    }
    return NextSlow(line);
  }
  // Lets Next pass over lines whose first byte is none of first_bytes (an
  // empty line has none). Every line that starts with one of them is still
  // handed out, and so may others be: the caller tests the lines as
  // before, with fewer to test. By default every line is handed out.
  void PassOverLinesNotStartingWith(std::string_view first_bytes);
  // The same for lines whose text starts with none of prefixes (each
  // starting with a byte of its own), told by up to their first 16 bytes:
  // every line that starts with one of them is still handed out, and so
  // may others be.
  void PassOverLinesWithoutPrefix(
      std::initializer_list<std::string_view> prefixes);
  // Bounds the memory a line can take, whatever its length: a gathered
  // line keeps at most limit + 1 bytes (so a longer line still shows as
  // longer than limit), and a line that crosses blocks and starts with a
  // byte that is not wanted is passed over without being kept. Lines whole
  // in one block are views and take no memory. By default nothing is cut.
  void LimitGatheredLines(size_t limit);

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  static constexpr char kEndOfText = 26;  // Ctrl-Z

  // Index of the first byte equal to c from pos_ up to end, or end.
  size_t NextOf(char c, size_t end) const;
  // Each looks for the next wanted common line (whole in this block, ended
  // by an LF with at most a CR or Ctrl-Z before it, no other CR or Ctrl-Z)
  // from the line start pos_, passing over the lines that are not wanted.
  // They return the index of its LF, with pos_ at its start; or kNone, with
  // pos_ at the start of the first line that needs the general rules.
  size_t NextWantedBySearch();
  size_t NextWantedSse2();
  size_t NextWantedAvx2();
  size_t NextWantedAvx2ByLowHalf();
  // Sets next_wanted_ by the method and the bytes marked.
  void ChooseWalk();
  // The vector walk, for one kind of vector instructions.
  template <typename Scanner>
  size_t NextWantedWith();
  // Marks the next stretch of windows: for each, a bit for every line start
  // in it that begins with a marked byte. False when no whole window is
  // left.
  template <typename Scanner>
  bool MarkStretch(const Scanner& scanner);
  // The LF of the common line that starts at start, or kNone when it needs
  // the general rules (a CR or Ctrl-Z inside it, or an end past the
  // vector windows).
  template <typename Scanner>
  size_t CommonLineEnd(const Scanner& scanner, size_t start) const;
  size_t NextSearchedLineFeed();
  bool Wanted(char first) const {
    return wanted_[static_cast<unsigned char>(first)];
  }
  // The line from pos_ to the LF at lf. A CR directly before the LF is no
  // part of it, and a Ctrl-Z there ends its text (one that starts the line
  // is not taken here).
  Result TakeCommonLine(size_t lf, std::string_view* line) {
    const char* start = block_.data() + pos_;
    const char* end = block_.data() + lf;
    pos_ = lf + 1;
    if (end > start && (end[-1] == '\r' || end[-1] == kEndOfText)) --end;
    *line = std::string_view(start, static_cast<size_t>(end - start));
    return Result::kLine;
  }
  // Fills classes_ from vector_wanted_.
  void MarkBytes();
  // kAvx2, kSse2: whether the common line at start is passed over by its
  // first bytes, which differ from its first byte's prefix.
  bool PassedByPrefix(size_t start) const;
  // Takes the next line by the general rules: lines that cross blocks,
  // lone CRs, Ctrl-Z.
  Result NextSlow(std::string_view* line);
  // Appends bytes to the gathered line, leaving out every CR.
  void Gather(std::string_view bytes);

  std::string_view block_;
  size_t pos_ = 0;
  const Method method_;
  size_t (LineSplitter::*next_wanted_)() = &LineSplitter::NextWantedBySearch;
  // wanted_[b]: a line that starts with byte b is handed out.
  std::array<bool, 256> wanted_;
  // kSearch: up to here the block holds no Ctrl-Z and no CR that is not
  // directly followed by an LF in the same block.
  size_t clean_end_ = 0;
  // kAvx2, kSse2: the first bytes of wanted lines, Ctrl-Z first, the unused
  // places repeating it; every line is wanted when they do not all fit.
  std::array<char, 6> vector_wanted_;
  ByteClasses classes_{};
  // PassOverLinesWithoutPrefix: up to 16 bytes of the prefix each wanted
  // first byte starts, and how many of them count; 0 where none is known.
  struct PrefixStart {
    std::array<char, 16> bytes{};
    size_t length = 0;
  };
  std::array<PrefixStart, 256> prefix_starts_{};
  bool prefixes_known_ = false;
  // kAvx2, kSse2: the windows of 64 bytes are marked a stretch at a time,
  // from a line start on: window_starts_ holds, for each window of the
  // stretch, one bit per byte that starts a line with a marked byte, and
  // marked_windows_ one bit per window that holds any not yet taken.
  static constexpr size_t kStretchWindows = 32;
  static constexpr size_t kStretchBytes = 64 * kStretchWindows;
  size_t stretch_start_ = 0;
  size_t next_window_ = 0;      // the first byte not marked yet
  bool windows_begun_ = false;  // next_window_ is set for this block
  // The line start the marking began at, told on its own.
  size_t chain_start_ = 0;
  bool chain_start_marked_ = false;
  std::array<uint64_t, kStretchWindows> window_starts_{};
  uint32_t marked_windows_ = 0;
  size_t window_ = 0;         // the window being taken
  uint64_t window_bits_ = 0;  // its starts not yet taken
  bool every_line_wanted_ = true;
  bool file_ended_ = false;
  bool ended_ = false;
  bool at_line_start_ = true;    // no byte of the current line seen yet
  bool skipping_ = false;        // past a Ctrl-Z inside the current line
  bool gathering_ = false;       // the current line is in gathered_
  bool passing_over_ = false;    // the current line is not wanted
  size_t gather_limit_ = kNone;  // most bytes gathered_ keeps
  bool clear_gathered_ = false;  // gathered_ was handed out last time
  std::string gathered_;
};

// Reads the lines of an open file, block after block: the first block of
// kBlockSize, and a file longer than that on in views of kViewSize where
// the file can be viewed in memory (File::View), else in blocks of the
// long size. Every read and view is checked: a failed one raises
// EInOutError.
class MessageReader {
 public:
  // Most messages fit in one block: one read, into a buffer whose unused
  // pages are never touched.
  static constexpr size_t kBlockSize = 64 * 1024;
  // The blocks of a longer message: a quarter of the reads of the first
  // block's size, still small enough to stay in the processor's cache
  // between the kernel's copy and the scan.
  static constexpr size_t kLongBlockSize = 256 * 1024;
  // The views of a longer message: the system shows its own copy, with no
  // copy into the program, and each view costs one mapping.
  static constexpr size_t kViewSize = 8 * 1024 * 1024;

  // Takes over an open file, opened by path; it is closed, without a
  // check, with the reader when Close was not called (the run is stopping
  // through a failure). A failed read or close names path.
  MessageReader(std::unique_ptr<File> file, std::string path);
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // As LineSplitter::PassOverLinesWithoutPrefix.
  void PassOverLinesWithoutPrefix(
      std::initializer_list<std::string_view> prefixes) {
    splitter_.PassOverLinesWithoutPrefix(prefixes);
  }
  // As LineSplitter::LimitGatheredLines.
  void LimitGatheredLines(size_t limit) { splitter_.LimitGatheredLines(limit); }
  // Runs hook before each read after the first, while the lines handed
  // out from the block before are still in place.
  void BeforeEachRead(std::function<void()> hook) {
    before_read_ = std::move(hook);
  }
  // Whether line lies in the block the last read filled: then it stays in
  // place until the next read, past later lines; a line that crossed
  // blocks is valid only until the next line.
  bool InBlock(std::string_view line) const {
    return line.data() >= current_.data() &&
           line.data() + line.size() <= current_.data() + current_.size();
  }
  // The next line, valid until the next call; false when the text has
  // ended. Raises EInOutError when a read fails.
  bool ReadLine(std::string_view* line) {
    const LineSplitter::Result result = splitter_.Next(line);
    if (result == LineSplitter::Result::kLine) return true;
    return ReadMore(result, line);
  }
  // Closes the file; raises EInOutError when the close fails.
  void Close();

 private:
  // Reads on until the splitter has a line or the text ends.
  bool ReadMore(LineSplitter::Result result, std::string_view* line);
  // The next block of the file; empty at its end.
  std::string_view ReadBlock();

  std::unique_ptr<File> file_;
  std::string path_;
  PageBuffer block_;  // page-aligned: the kernel copies into it fastest
  size_t block_size_ = kBlockSize;
  std::string_view current_;  // the block the last read or view gave
  uint64_t offset_ = 0;       // in the file, of the next block
  bool grow_ = false;         // the next block is the first long one
  bool viewing_ = false;      // the long blocks are views
  bool read_once_ = false;
  std::function<void()> before_read_;
  LineSplitter splitter_;
};

}  // namespace stashwell

#endif  // STASHWELL_SCAN_MESSAGE_READER_H_
