#include "run/run_log.h"

#include <algorithm>
#include <cstring>

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
  CheckInOut(code);
}

void RunLog::Close() {
  closed_ = true;
  uint32_t code = count_ > 0 ? WriteBuffer() : 0;
  const uint32_t close_code = file_->Close();
  if (code == 0) code = close_code;
  CheckInOut(code);
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
  CheckInOut(os.Open(state.LogPath, FileUse::kLog, &file));
  state.LogFileId = file->Identity();
  state.Log = std::make_unique<RunLog>(std::move(file));
  WriteLogLine(state,
               {DateTimeLine(state.locale, DecodeDayCount(os.LocalNow()))});
  state.ErrorsReported = false;
  state.ActionLogged = false;
}

void WriteLogLine(RunState& state, std::initializer_list<LogPiece> pieces) {
  for (const LogPiece& piece : pieces) state.Log->Append(piece.text());
  state.Log->EndLine();
}

void FinishRunLog(RunState& state) {
  Platform& os = state.platform;
  state.Log->Close();
  state.Log.reset();
  // The log goes only while its name still holds the file this run wrote:
  // the next message's run may have made its own log under the name.
  if (!state.ErrorsReported && !state.ActionLogged && state.LogFileId) {
    os.RemoveOwnFile(state.LogPath, *state.LogFileId);
  }
  if (state.ErrorsReported && os.AskYesNo(kOpenLogQuestion, kOpenLogCaption)) {
    os.OpenWithShell(state.LogPath);
  }
}

}  // namespace stashwell
