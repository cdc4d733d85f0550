// The run log: a plain-text file beside the message file, written through a
// 128-byte block buffer, one CR LF line per WriteLogLine call. It outlives
// the run only when it recorded an action or an error.
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
// Appends one line: the pieces in order, then CR LF. Checked once.
void WriteLogLine(RunState& state, std::initializer_list<LogPiece> pieces);
// Closes the log, deletes it when nothing was recorded, asks whether to
// open it when an error was recorded, and opens it on Yes.
void FinishRunLog(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_RUN_RUN_LOG_H_
