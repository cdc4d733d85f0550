#include "scan/message_reader.h"

#include <cstring>

#include "run/in_out_error.h"

namespace stashwell {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
constexpr char kEndOfText = 26;  // Ctrl-Z
constexpr size_t kNotSearched = static_cast<size_t>(-1);

}  // namespace

void LineSplitter::Feed(std::string_view block) {
  block_ = block;
  pos_ = 0;
  next_cr_ = kNotSearched;
  next_eot_ = kNotSearched;
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

LineSplitter::Result LineSplitter::Next(std::string_view* line) {
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
      const std::string_view text(start, text_end - pos_);
      if (lf && !gathering_ && NextOf(kCarriageReturn, &next_cr_) >= text_end) {
        // The common case: the whole line in this block, nothing to drop.
        *line = text;
        pos_ = line_end + 1;
        at_line_start_ = true;
        skipping_ = false;
        return Result::kLine;
      }
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

MessageReader::MessageReader(Platform& platform, FileHandle file)
    : platform_(platform),
      file_(file),
      block_(std::make_unique<char[]>(kBlockSize)) {}

MessageReader::~MessageReader() {
  if (open_) platform_.Close(file_);
}

bool MessageReader::ReadLine(std::string_view* line) {
  for (;;) {
    switch (splitter_.Next(line)) {
      case LineSplitter::Result::kLine:
        return true;
      case LineSplitter::Result::kEnd:
        return false;
      case LineSplitter::Result::kNeedMore: {
        size_t count = 0;
        CheckInOut(platform_.Read(file_, block_.get(), kBlockSize, &count));
        splitter_.Feed(std::string_view(block_.get(), count));
        break;
      }
    }
  }
}

void MessageReader::Close() {
  open_ = false;
  CheckInOut(platform_.Close(file_));
}

}  // namespace stashwell
