#include "run/run_log.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

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

namespace {

void Hold(RunState& state, HeldStep::Kind kind, std::string text,
          std::optional<FileId> id = std::nullopt) {
  state.HeldBytes += text.size();
  state.Held.push_back({kind, std::move(text), id});
  if (state.Held.size() >= kMostHeldSteps ||
      state.HeldBytes >= kMostHeldBytes) {
    SettleHeldSteps(state);
  }
}

// A held source is removed only while its name still leads to the file
// that was held: a file put under the name since (the mail client's next
// attachment, once another run has taken the first away) was never copied.
void RemoveNow(RunState& state, const std::string& path, bool may_remove,
               const std::optional<FileId>& id = std::nullopt) {
  if (may_remove && id) may_remove = state.platform.IdentityOf(path) == id;
  if (!may_remove || !state.platform.RemoveFile(path)) {
    WriteLogLine(state, {"Error - could not delete source file"});
    state.ErrorsReported = true;
  }
}

}  // namespace

void WriteLogLine(RunState& state, std::initializer_list<LogPiece> pieces) {
  if (!state.Held.empty()) {
    std::string line;
    for (const LogPiece& piece : pieces) line += piece.text();
    Hold(state, HeldStep::Kind::kLine, std::move(line));
    return;
  }
  for (const LogPiece& piece : pieces) state.Log->Append(piece.text());
  state.Log->EndLine();
}

void RemoveSource(RunState& state, const std::string& path, bool after_copy) {
  if (after_copy || !state.Held.empty()) {
    Hold(state,
         after_copy ? HeldStep::Kind::kRemoveCopied
                    : HeldStep::Kind::kRemoveDuplicate,
         path, state.platform.IdentityOf(path));
  } else {
    RemoveNow(state, path, true);
  }
}

void SettleIfHeld(RunState& state, const std::string& path) {
  const std::vector<HeldStep>& held = state.Held;
  // Only held removals carry an identity: without one, nothing is looked up.
  if (std::none_of(held.begin(), held.end(),
                   [](const HeldStep& step) { return step.id.has_value(); })) {
    return;
  }
  const std::optional<FileId> id = state.platform.IdentityOf(path);
  if (id && std::any_of(held.begin(), held.end(),
                        [&](const HeldStep& step) { return step.id == id; })) {
    SettleHeldSteps(state);
  }
}

void SettleHeldSteps(RunState& state) {
  if (state.Held.empty()) return;
  // Taken out first: the lines below are written, not held again.
  std::vector<HeldStep> steps;
  steps.swap(state.Held);
  state.HeldBytes = 0;
  // One flush for all the copies held: their names reach the disk before
  // any of their sources goes.
  uint32_t flush_code = 0;
  if (std::any_of(steps.begin(), steps.end(), [](const HeldStep& step) {
        return step.kind == HeldStep::Kind::kRemoveCopied;
      })) {
    flush_code =
        state.Destination ? state.Destination->Flush() : kErrorInvalidHandle;
  }
  for (const HeldStep& step : steps) {
    switch (step.kind) {
      case HeldStep::Kind::kLine:
        WriteLogLine(state, {step.text});
        break;
      case HeldStep::Kind::kRemoveCopied:
        RemoveNow(state, step.text, flush_code == 0, step.id);
        break;
      case HeldStep::Kind::kRemoveDuplicate:
        RemoveNow(state, step.text, true, step.id);
        break;
    }
  }
}

void FinishRunLog(RunState& state) {
  Platform& os = state.platform;
  SettleHeldSteps(state);
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
