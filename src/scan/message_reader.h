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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace stashwell {

// Splits a stream of byte blocks into lines by the text rules above,
// without any file. Lines whose bytes lie whole in one block and hold no
// Ctrl-Z and no CR other than one before the LF are handed out as views
// into that block; the others are gathered in a buffer of the splitter's
// own, which grows with the longest such line.
class LineSplitter {
 public:
  enum class Result { kLine, kNeedMore, kEnd };

  // Offers the next block. The bytes must stay in place until Next asks
  // for more. An empty block marks the end of the file.
  void Feed(std::string_view block);
  // The next line, valid until the next call of Next or Feed. kNeedMore
  // when the block is used up and the file has not ended; kEnd when the
  // text has ended (for good: later calls answer kEnd again).
  Result Next(std::string_view* line);
  // True once the text has ended, either at the end of the file or at a
  // Ctrl-Z that starts a line.
  bool Ended() const { return ended_; }

 private:
  // Index of the next byte equal to c at or after pos_, or the block's
  // size; *cached keeps the answer until pos_ passes it.
  size_t NextOf(char c, size_t* cached);
  // Index of the next LF at or after pos_ and before clean_end_, or
  // clean_end_ when there is none.
  size_t NextCleanLineFeed();
  // Takes the next line by the general rules: lines that cross blocks,
  // lone CRs, Ctrl-Z.
  Result NextSlow(std::string_view* line);
  // Appends bytes to the gathered line, leaving out every CR.
  void Gather(std::string_view bytes);

  std::string_view block_;
  size_t pos_ = 0;
  // Up to here the block holds no Ctrl-Z and no CR that is not directly
  // followed by an LF in the same block.
  size_t clean_end_ = 0;
  // Where the system allows, LFs are found 64 bytes at a time: lf_bits_
  // marks the LFs of the window of 64 bytes at window_ that lie at or after
  // pos_.
  bool window_valid_ = false;
  size_t window_ = 0;
  uint64_t lf_bits_ = 0;
  size_t next_cr_ = 0;
  size_t next_eot_ = 0;
  bool file_ended_ = false;
  bool ended_ = false;
  bool at_line_start_ = true;    // no byte of the current line seen yet
  bool skipping_ = false;        // past a Ctrl-Z inside the current line
  bool gathering_ = false;       // the current line is in gathered_
  bool clear_gathered_ = false;  // gathered_ was handed out last time
  std::string gathered_;
};

// Reads the lines of an open file through a block buffer of its own.
// Every read is checked: a failed one raises EInOutError.
class MessageReader {
 public:
  static constexpr size_t kBlockSize = 64 * 1024;

  // Takes over an open file (OpenForRead).
  MessageReader(Platform& platform, FileHandle file);
  // Closes the file, ignoring the result, when Close was not called (the
  // run is stopping through a failure).
  ~MessageReader();
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // The next line, valid until the next call; false when the text has
  // ended. Raises EInOutError when a read fails.
  bool ReadLine(std::string_view* line);
  // Closes the file; raises EInOutError when the close fails.
  void Close();

 private:
  Platform& platform_;
  FileHandle file_;
  bool open_ = true;
  std::unique_ptr<char[]> block_;
  LineSplitter splitter_;
};

}  // namespace stashwell

#endif  // STASHWELL_SCAN_MESSAGE_READER_H_
