#include "run/run_log.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "run/fixed_texts.h"
#include "run/in_out_error.h"
#include "run/run_state.h"

namespace stashwell {

LogPiece::LogPiece(int32_t number) {
  // Built from the unsigned magnitude so that INT32_MIN needs no special
  // case.
  uint32_t magnitude = number < 0 ? 0u - static_cast<uint32_t>(number)
                                  : static_cast<uint32_t>(number);
  char* end = digits_ + sizeof digits_;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) *--p = '-';
  text_ = std::string_view(p, static_cast<size_t>(end - p));
}

uint32_t RunLog::WriteBuffer() {
  // Once a block has failed, no later one is handed over: the file keeps
  // an unbroken run of whole blocks and never a line with a block missing
  // from its middle, even when the failure passes (a disk that frees up).
  const uint32_t code = write_failed_ ? 0 : file_->Write(buffer_, count_);
  if (code != 0) write_failed_ = true;
  count_ = 0;
  return code;
}

void RunLog::Append(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), kBufferSize - count_);
    std::memcpy(buffer_ + count_, bytes.data(), take);
    count_ += take;
    bytes.remove_prefix(take);
    if (count_ == kBufferSize) {
      const uint32_t code = WriteBuffer();
      if (pending_error_ == 0) pending_error_ = code;
    }
  }
}

void RunLog::EndLine() {
  Append("\r\n");
  const uint32_t code = pending_error_;
  pending_error_ = 0;
  CheckInOut(code, InOutOperation::kLogWrite, path_);
}

void RunLog::Close() {
  closed_ = true;
  uint32_t code = count_ > 0 ? WriteBuffer() : 0;
  const uint32_t close_code = file_->Close();
  if (code == 0) code = close_code;
  CheckInOut(code, InOutOperation::kLogClose, path_);
}

void RunLog::CloseAndRemove(const std::string& path) {
  closed_ = true;
  uint32_t code = 0;
  if (!file_->RemoveName(path) && count_ > 0) code = WriteBuffer();
  const uint32_t close_code = file_->Close();
  if (code == 0) code = close_code;
  CheckInOut(code, InOutOperation::kLogClose, path_);
}

size_t RunLog::HoldPlace() {
  waiting_.push_back({true, false, {}});
  return first_waiting_ + waiting_.size() - 1;
}

void RunLog::Wait(std::string line) {
  waiting_bytes_ += line.size();
  waiting_.push_back({false, true, std::move(line)});
}

void RunLog::FillPlace(size_t place, const char* line) {
  Waiting& filled = waiting_[place - first_waiting_];
  filled.open = false;
  filled.has_line = line != nullptr;
  if (line != nullptr) {
    filled.line = line;
    waiting_bytes_ += filled.line.size();
  }
  while (!waiting_.empty() && !waiting_.front().open) {
    // Taken off first: a failed write raises, and the run ends there.
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    ++first_waiting_;
    if (!next.has_line) continue;
    waiting_bytes_ -= next.line.size();
    Append(next.line);
    EndLine();
  }
}

void RunLog::FlushBestEffort() {
  if (closed_ || count_ == 0) return;
  WriteBuffer();
}

std::string LogPathFor(std::string_view path, const PathSyntax& syntax) {
  const size_t found = LastCharWhere(
      path, syntax, [&](char c) { return c == '.' || syntax.EndsFolder(c); });
  if (found != std::string_view::npos && path[found] == '.' &&
      !EqualsIgnoringAsciiCase(path.substr(found), ".log")) {
    return std::string(path.substr(0, found)) + ".log";
  }
  return std::string(path) + ".log";
}

void StartRunLog(RunState& state) {
  Platform& os = state.platform;
  state.LogPath = LogPathFor(state.MessageFilePath, state.syntax);
  std::unique_ptr<File> file;
  CheckInOut(os.Open(state.LogPath, FileUse::kLog, &file),
             InOutOperation::kLogCreate, state.LogPath);
  state.LogFileId = file->Identity();
  state.Log = std::make_unique<RunLog>(std::move(file), state.LogPath);
  WriteLogLine(state,
               {DateTimeLine(state.locale, DecodeDayCount(os.LocalNow()))});
  state.ErrorsReported = false;
  state.ActionLogged = false;
}

void WriteLogLine(RunState& state, std::initializer_list<LogPiece> pieces) {
  RunLog& log = *state.Log;
  if (log.HoldsBack()) {
    std::string line;
    for (const LogPiece& piece : pieces) line += piece.text();
    log.Wait(std::move(line));
    return;
  }
  for (const LogPiece& piece : pieces) log.Append(piece.text());
  log.EndLine();
}

void FinishRunLog(RunState& state) {
  Platform& os = state.platform;
  // An empty log goes while the run still holds it open and locked: the
  // next message's run, started meanwhile under the same name, cannot have
  // taken the file over and written its record into it.
  if (!state.ErrorsReported && !state.ActionLogged) {
    state.Log->CloseAndRemove(state.LogPath);
  } else {
    state.Log->Close();
  }
  state.Log.reset();
  if (state.ErrorsReported && os.AskYesNo(kOpenLogQuestion, kOpenLogCaption)) {
    os.OpenWithShell(state.LogPath);
  }
}

}  // namespace stashwell
