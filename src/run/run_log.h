// The run log: a plain-text file beside the message file, written through a
// 128-byte block buffer, one CR LF line per WriteLogLine call. It outlives
// the run only when it recorded an action or an error. A line that is known
// only later (whether a held source could be deleted) keeps its place, and
// the lines after it wait behind it, so the log keeps the run's order.
#ifndef STASHWELL_RUN_RUN_LOG_H_
#define STASHWELL_RUN_RUN_LOG_H_

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace stashwell {

struct RunState;

// The open log writer. Whole buffers reach the file as blocks; a line end
// does not flush.
class RunLog {
 public:
  static constexpr size_t kBufferSize = 128;

  // path is the log's path, named by the error a failed write or close
  // raises.
  explicit RunLog(std::unique_ptr<File> file, std::string path = {})
      : file_(std::move(file)), path_(std::move(path)) {}
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Appends bytes through the buffer. A failed block write is remembered
  // and raised by EndLine, so one line is checked once, after its CR LF.
  void Append(std::string_view bytes);
  // Appends CR LF, then raises EInOutError if any write of the line failed.
  void EndLine();
  // Writes the rest of the buffer and closes the file; raises on failure.
  void Close();
  // Deletes the log while it is still open (and so still the run's own),
  // then closes it; raises when the close fails. When the name no longer
  // leads to this file, the rest of the buffer is written and the file
  // stays.
  void CloseAndRemove(const std::string& path);

  // Keeps a place for a line known only later; until it is filled, every
  // line written after it waits in memory. Places are filled in any order.
  size_t HoldPlace();
  // True while a place is open: lines go to Wait, not to Append.
  bool HoldsBack() const { return !waiting_.empty(); }
  // A whole line, without its CR LF, that waits behind an open place.
  void Wait(std::string line);
  // Fills a place with line (nullptr: no line), then writes out every line
  // no open place holds back any more. Raises on a failed write.
  void FillPlace(size_t place, const char* line);
  // The bytes of the lines waiting.
  size_t HeldBytes() const { return waiting_bytes_; }
  // After a failure elsewhere: hands what the buffer holds to the file,
  // ignoring any error, so the log shows every line written so far. The
  // file stays open; the process is about to end.
  void FlushBestEffort();

 private:
  uint32_t WriteBuffer();

  // A line waiting in the log's order, or a place not yet filled.
  struct Waiting {
    bool open = false;
    bool has_line = true;
    std::string line;
  };

  std::unique_ptr<File> file_;
  std::string path_;
  std::deque<Waiting> waiting_;
  size_t first_waiting_ = 0;  // the place number of waiting_.front()
  size_t waiting_bytes_ = 0;
  char buffer_[kBufferSize];
  size_t count_ = 0;
  uint32_t pending_error_ = 0;
  bool write_failed_ = false;  // a block failed; later ones are dropped
  bool closed_ = false;
};

// One piece of a log line: a text, a single character or a signed 32-bit
// integer (written in decimal).
class LogPiece {
 public:
  LogPiece(std::string_view text) : text_(text) {}    // NOLINT: implicit
  LogPiece(const std::string& text) : text_(text) {}  // NOLINT: implicit
  LogPiece(const char* text) : text_(text) {}         // NOLINT: implicit
  LogPiece(char c) : text_(&char_, 1), char_(c) {}    // NOLINT: implicit
  LogPiece(int32_t number);                           // NOLINT: implicit

  LogPiece(const LogPiece&) = delete;
  LogPiece& operator=(const LogPiece&) = delete;

  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
  char char_ = 0;
  char digits_[12] = {};
};

// The log's file name: MessageFilePath with its extension replaced by
// ".log", or with ".log" appended when it has none. A message file whose
// own extension is ".log" (any case) gets ".log" appended instead, so its
// log never overwrites it.
std::string LogPathFor(std::string_view message_file_path,
                       const PathSyntax& syntax);

// The first line of the log: the short date, then, unless the time is
// 00:00:00, a space and the long time.
std::string DateTimeLine(const LocaleFormats& locale,
                         const DateTimeFields& now);
std::string FormatShortDate(const LocaleFormats& locale,
                            const DateTimeFields& date);
std::string FormatLongTime(const LocaleFormats& locale,
                           const DateTimeFields& time);

// Derives LogPath, creates the log, writes line 1 and clears both flags.
void StartRunLog(RunState& state);
// Appends one line: the pieces in order, then CR LF. Checked once. While a
// place is held open in the log, the line waits behind it.
void WriteLogLine(RunState& state, std::initializer_list<LogPiece> pieces);
// Closes the log, deletes it (while it is still open and the run's own)
// when nothing was recorded, asks whether to open it when an error was
// recorded, and opens it on Yes. No place may be held open in the log: the
// scan settles the removals it held before it ends.
void FinishRunLog(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_RUN_RUN_LOG_H_
