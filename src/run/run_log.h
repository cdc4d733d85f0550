// The run log: a plain-text file beside the message file, written through a
// 128-byte block buffer, one CR LF line per WriteLogLine call. It outlives
// the run only when it recorded an action or an error. While the removal
// of a source waits for the destination folder's flush, the lines wait
// behind it, so the log keeps the run's order.
#ifndef STASHWELL_RUN_RUN_LOG_H_
#define STASHWELL_RUN_RUN_LOG_H_

#include <cstdint>
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

  explicit RunLog(std::unique_ptr<File> file) : file_(std::move(file)) {}
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Appends bytes through the buffer. A failed block write is remembered
  // and raised by EndLine, so one line is checked once, after its CR LF.
  void Append(std::string_view bytes);
  // Appends CR LF, then raises EInOutError if any write of the line failed.
  void EndLine();
  // Writes the rest of the buffer and closes the file; raises on failure.
  void Close();
  // After a failure elsewhere: hands what the buffer holds to the file,
  // ignoring any error, so the log shows every line written so far. The
  // file stays open; the process is about to end.
  void FlushBestEffort();

 private:
  uint32_t WriteBuffer();

  std::unique_ptr<File> file_;
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
// removal waits for the destination folder's flush, the line is held behind
// it (RemoveSource) and written when the held steps are settled.
void WriteLogLine(RunState& state, std::initializer_list<LogPiece> pieces);
// Closes the log, deletes it when nothing was recorded, asks whether to
// open it when an error was recorded, and opens it on Yes. What is still
// held is settled first.
void FinishRunLog(RunState& state);

// How much the run holds before it settles, whatever the message holds:
// steps, and bytes of their texts.
inline constexpr size_t kMostHeldSteps = 64;
inline constexpr size_t kMostHeldBytes = 64 * 1024;

// Removes the source at path. The source of a copy (after_copy) goes only
// once the copy's name is durable: its removal is held until the
// destination folder is flushed once for all the copies held
// (SettleHeldSteps). A duplicate's source goes at once, or behind what is
// held, so that the log keeps the run's order. A source that cannot be
// removed gets the line "Error - could not delete source file" and sets
// ErrorsReported.
//
// A run killed while removals are held leaves those sources in place
// beside their whole copies (the next run finds each copy identical and
// deletes the source as a duplicate); the lines held with them are lost
// with the run.
void RemoveSource(RunState& state, const std::string& path, bool after_copy);
// Settles what is held when path names a source whose removal is held, so
// that a later attachment line naming that file (in any spelling) finds it
// gone, as it would have been had it gone at once.
void SettleIfHeld(RunState& state, const std::string& path);
// Settles what is held: the destination folder is flushed once when a held
// removal follows a copy, then the held lines are written and the sources
// removed, in their order. When the flush fails, no source of a copy is
// removed: each stays and gets the line of a source that could not be
// deleted. A failed log write ends the settling and drops what was not yet
// done (the sources stay), as it ends the run.
void SettleHeldSteps(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_RUN_RUN_LOG_H_
