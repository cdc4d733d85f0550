#include "scan/message_scan.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "run/in_out_error.h"
#include "run/run_log.h"
#include "scan/message_reader.h"
#include "scan/placement.h"

namespace stashwell {
namespace {

constexpr std::string_view kFromPrefix = "From: ";
constexpr std::string_view kToPrefix = "To: ";
constexpr std::string_view kSubjectPrefix = "Subject: ";
constexpr std::string_view kAttachmentPrefix = "Attachment Converted: ";

// Case matters, and a line shorter than the prefix never matches. The
// prefixes are constants, so the comparison is a few instructions.
bool BeginsWith(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() &&
         std::memcmp(line.data(), prefix.data(), prefix.size()) == 0;
}

// The path text after the prefix, without one double quote at each end.
// Nothing else is trimmed: blanks stay.
std::string_view StripOneQuoteEachEnd(std::string_view text) {
  if (!text.empty() && text.front() == '"') text.remove_prefix(1);
  if (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return text;
}

// The longest line that can still name a file: the prefix, the two quotes
// and the longest path the platform opens. Longer lines are cut when
// gathered, so no line costs more memory than this.
size_t LongestUsableLine(const PathSyntax& syntax) {
  return kAttachmentPrefix.size() + 2 + syntax.max_path;
}

// The last header line of one kind: a view while it lies in the reader's
// block, copied into its field of the run's state when asked to.
class KeptHeader {
 public:
  explicit KeptHeader(std::string& field) : field_(field) {}
  // in_block: the line stays in place until the reader's next read.
  void Keep(std::string_view line, bool in_block) {
    if (in_block) {
      kept_ = line;
      pending_ = true;
    } else {
      field_ = line;
      pending_ = false;
    }
  }
  void Copy() {
    if (pending_) field_ = kept_;
    pending_ = false;
  }

 private:
  std::string& field_;
  std::string_view kept_;
  bool pending_ = false;
};

void HandleAttachmentLine(RunState& state, Destination& destination,
                          std::string_view line) {
  Platform& os = state.platform;
  const size_t longest = LongestUsableLine(state.syntax);
  if (line.size() > longest) {
    // No file has so long a path: the line is echoed as far as it was
    // kept, and nothing is looked up.
    WriteLogLine(state, {"Attachment Line: ", line.substr(0, longest), "\r\n"});
    WriteLogLine(state, {"Error - Attachment Line longer than ",
                         static_cast<int32_t>(longest),
                         " bytes (no file has so long a path)"});
    WriteHeaderEcho(state);
    state.ErrorsReported = true;
    return;
  }
  WriteLogLine(state, {"Attachment Line: ", line, "\r\n"});
  const std::string_view path_text = line.substr(kAttachmentPrefix.size());
  // Tested anew for every line: the folder may come or go during the run.
  uint32_t code = 0;
  const PathKind folder_kind = os.Examine(state.DestinationDir, &code);
  if (folder_kind != PathKind::kFolder) {
    WriteLogLine(state, {"Destination Directory <", state.DestinationDir,
                         folder_kind == PathKind::kUnreachable
                             ? "> cannot be reached; Code "
                             : "> does not exist",
                         folder_kind == PathKind::kUnreachable
                             ? LogPiece(static_cast<int32_t>(code))
                             : LogPiece("")});
    WriteHeaderEcho(state);
    state.ErrorsReported = true;
    return;
  }
  std::string source_path(StripOneQuoteEachEnd(path_text));
  // A file this run moved is gone for every later line, as it went at once.
  destination.removals.SettleIfHeld(state, source_path);
  const PathKind source = os.Examine(source_path, &code);
  if (source == PathKind::kUnreachable) {
    WriteLogLine(state,
                 {"Source File <", source_path, "> cannot be reached; Code ",
                  static_cast<int32_t>(code)});
    WriteHeaderEcho(state);
    state.ErrorsReported = true;
    return;
  }
  if (source != PathKind::kFile) {
    ReportMissingSource(state, source_path);
    return;
  }
  PlaceAttachment(state, destination, std::move(source_path));
}

}  // namespace

void ScanMessageFile(RunState& state, Destination& destination) {
  Platform& os = state.platform;
  state.FromLine.clear();
  state.ToLine.clear();
  state.SubjectLine.clear();

  uint32_t code = 0;
  const PathKind message = os.Examine(state.MessageFilePath, &code);
  if (message == PathKind::kUnreachable) {
    WriteLogLine(state,
                 {"Eudora Message File <", state.MessageFilePath,
                  "> cannot be reached; Code ", static_cast<int32_t>(code)});
    state.ErrorsReported = true;
    return;
  }
  if (message != PathKind::kFile) {
    WriteLogLine(state, {"Eudora Message File <", state.MessageFilePath,
                         "> does not exist"});
    state.ErrorsReported = true;
    return;
  }
  std::unique_ptr<File> file;
  // The one open whose failure is expected: the mail client may still be
  // writing the message. The scan then leaves no trace and the file stays.
  // Running out of file handles or memory is no such moment: it is a
  // failure of the run, and reported as one.
  const uint32_t open_code =
      os.Open(state.MessageFilePath, FileUse::kMessage, &file);
  if (open_code == kErrorTooManyOpenFiles ||
      open_code == kErrorNotEnoughMemory) {
    CheckInOut(open_code, InOutOperation::kMessageOpen, state.MessageFilePath);
  }
  if (open_code != 0) return;

  // Which file the scan reads: only that file, unchanged, is deleted at
  // the end.
  const std::optional<FileId> message_id = file->Identity();
  const std::optional<FileProof> message_read = file->Proof();
  state.MessageFileId = message_id;
  MessageReader reader(std::move(file), state.MessageFilePath);
  // Only lines that start like one of the prefixes matter, and only as far
  // as a path can reach: memory stays flat whatever the line lengths.
  reader.PassOverLinesWithoutPrefix(
      {kFromPrefix, kToPrefix, kSubjectPrefix, kAttachmentPrefix});
  const size_t longest = LongestUsableLine(state.syntax);
  reader.LimitGatheredLines(longest);
  // A message may hold a header line on every other line, and only the
  // last of each kind before an attachment line is ever echoed: each is
  // kept as a view into the reader's block, and copied only when an
  // attachment line comes or the block is about to be read over.
  KeptHeader from(state.FromLine);
  KeptHeader to(state.ToLine);
  KeptHeader subject(state.SubjectLine);
  const auto copy_kept = [&] {
    from.Copy();
    to.Copy();
    subject.Copy();
  };
  reader.BeforeEachRead(copy_kept);
  std::string_view line;
  while (reader.ReadLine(&line)) {
    // Most lines start with none of the prefixes' first letters.
    if (line.empty()) continue;
    switch (line.front()) {
      case 'F':
        if (BeginsWith(line, kFromPrefix)) {
          from.Keep(line.substr(0, longest), reader.InBlock(line));
        }
        break;
      case 'T':
        if (BeginsWith(line, kToPrefix)) {
          to.Keep(line.substr(0, longest), reader.InBlock(line));
        }
        break;
      case 'S':
        if (BeginsWith(line, kSubjectPrefix)) {
          subject.Keep(line.substr(0, longest), reader.InBlock(line));
        }
        break;
      case 'A':
        if (BeginsWith(line, kAttachmentPrefix)) {
          copy_kept();
          HandleAttachmentLine(state, destination, line);
          // Memory stays flat whatever the message holds.
          if (destination.removals.Full(state)) {
            destination.removals.Settle(state);
          }
        }
        break;
    }
  }
  copy_kept();
  reader.BeforeEachRead(nullptr);
  // The sources of the moved attachments go once the destination folder is
  // flushed, and the lines held behind them reach the log, before the
  // message closes and goes.
  destination.removals.Settle(state);
  reader.Close();
  // The mail client may have given the name to its next message meanwhile:
  // that message was never read, so it stays for its own run. A message
  // written to during the run stays as well.
  if (!message_read ||
      os.RemoveProvenFile(state.MessageFilePath, *message_read) ==
          Removal::kRemoved) {
    return;
  }
  const std::optional<FileId> now = os.IdentityOf(state.MessageFilePath);
  if (now && now != message_id) {
    WriteLogLine(state, {"Eudora Message File <", state.MessageFilePath,
                         "> was replaced during the run - not deleted"});
    state.ErrorsReported = true;
  }
}

}  // namespace stashwell
