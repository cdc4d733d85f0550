#include "scan/message_scan.h"

#include <string_view>

#include "run/run_log.h"
#include "scan/message_reader.h"
#include "scan/placement.h"

namespace stashwell {
namespace {

constexpr std::string_view kFromPrefix = "From: ";
constexpr std::string_view kToPrefix = "To: ";
constexpr std::string_view kSubjectPrefix = "Subject: ";
constexpr std::string_view kAttachmentPrefix = "Attachment Converted: ";

// Case matters, and a line shorter than the prefix never matches.
bool BeginsWith(std::string_view line, std::string_view prefix) {
  return line.substr(0, prefix.size()) == prefix;
}

// The path text after the prefix, without one double quote at each end.
// Nothing else is trimmed: blanks stay.
std::string_view StripOneQuoteEachEnd(std::string_view text) {
  if (!text.empty() && text.front() == '"') text.remove_prefix(1);
  if (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return text;
}

void HandleAttachmentLine(RunState& state, std::string_view line) {
  Platform& os = state.platform;
  WriteLogLine(state, {"Attachment Line: ", line, "\r\n"});
  const std::string_view path_text = line.substr(kAttachmentPrefix.size());
  // Tested anew for every line: the folder may come or go during the run.
  if (!os.IsExistingDirectory(state.DestinationDir)) {
    WriteLogLine(state, {"Destination Directory <", state.DestinationDir,
                         "> does not exist"});
    WriteHeaderEcho(state);
    state.ErrorsReported = true;
    return;
  }
  state.SourcePath = StripOneQuoteEachEnd(path_text);
  if (!os.IsExistingFile(state.SourcePath)) {
    ReportMissingSource(state);
    return;
  }
  PlaceAttachment(state);
}

}  // namespace

void ScanMessageFile(RunState& state) {
  Platform& os = state.platform;
  state.FromLine.clear();
  state.ToLine.clear();
  state.SubjectLine.clear();

  if (!os.IsExistingFile(state.MessageFilePath)) {
    WriteLogLine(state, {"Eudora Message File <", state.MessageFilePath,
                         "> does not exist"});
    state.ErrorsReported = true;
    return;
  }
  FileHandle file = kNoFile;
  // The one open whose failure is expected: the mail client may still be
  // writing the message. The scan then leaves no trace and the file stays.
  if (os.OpenForRead(state.MessageFilePath, &file) != 0) return;

  MessageReader reader(os, file);
  // Only lines that start like one of the prefixes matter.
  reader.PassOverLinesNotStartingWith("FTSA");
  std::string_view line;
  while (reader.ReadLine(&line)) {
    // Most lines start with none of the prefixes' first letters.
    if (line.empty()) continue;
    switch (line.front()) {
      case 'F':
        if (BeginsWith(line, kFromPrefix)) state.FromLine = line;
        break;
      case 'T':
        if (BeginsWith(line, kToPrefix)) state.ToLine = line;
        break;
      case 'S':
        if (BeginsWith(line, kSubjectPrefix)) state.SubjectLine = line;
        break;
      case 'A':
        if (BeginsWith(line, kAttachmentPrefix)) {
          HandleAttachmentLine(state, line);
        }
        break;
    }
  }
  reader.Close();
  os.RemoveFile(state.MessageFilePath);
}

}  // namespace stashwell
