#include "scan/message_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/system_platform.h"
#include "run/in_out_error.h"
#include "run/run_log.h"
#include "run/run_state.h"
#include "scan/message_reader.h"
#include "support/platform_wrapper.h"
#include "support/scratch_dir.h"
#include "transfer/destination.h"

namespace stashwell {
namespace {

// Owns the real platform; a base class, so that it is built before the
// wrapper that forwards to it.
struct SystemPlatformHolder {
  std::unique_ptr<Platform> system = MakeSystemPlatform(0, nullptr);
};

// The real platform with file tests watched and faults injected into the
// message file's open, reads and close.
class ScanPlatform : private SystemPlatformHolder, public PlatformWrapper {
 public:
  ScanPlatform() : PlatformWrapper(*system) {}

  PathKind Examine(const std::string& path, uint32_t* code) override {
    file_tests.push_back(path);
    if (!unreachable.empty() && path == unreachable) {
      if (code != nullptr) *code = kErrorAccessDenied;
      return PathKind::kUnreachable;
    }
    return target_.Examine(path, code);
  }
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    if (use == FileUse::kMessage && open_error != 0) return open_error;
    return PlatformWrapper::Open(path, use, file);
  }
  uint32_t FileRead(WrappedFile& file, void* buffer, size_t size,
                    size_t* count) override {
    if (file.use() == FileUse::kMessage && read_error != 0) return read_error;
    if (file.use() == FileUse::kMessage) size = std::min(size, read_limit);
    return PlatformWrapper::FileRead(file, buffer, size, count);
  }
  // A long message is viewed, whatever views cost on this machine.
  bool FileViewPays(WrappedFile&, uint64_t) override { return true; }
  uint32_t FileView(WrappedFile& file, uint64_t offset, size_t most,
                    std::string_view* bytes) override {
    ++views;
    return PlatformWrapper::FileView(file, offset, most, bytes);
  }
  uint32_t FileClose(WrappedFile& file) override {
    const uint32_t code = PlatformWrapper::FileClose(file);
    if (file.use() == FileUse::kMessage && close_error != 0) {
      return close_error;
    }
    return code;
  }

  std::vector<std::string> file_tests;
  std::string unreachable;  // a path the system will not look at (code 5)
  uint32_t open_error = 0;
  uint32_t read_error = 0;
  uint32_t close_error = 0;
  size_t read_limit = SIZE_MAX;  // most bytes a read of the message gives
  int views = 0;                 // views of the message asked for
};

class MessageScanTest : public ::testing::Test {
 protected:
  MessageScanTest() : state(os) {
    destination = dir.MakeDir("saved");
    state.MessageFilePath = dir.Path("eud17.tmp");
    state.DestinationDir = destination;
  }

  // Writes the message file, scans it and returns the log after its first
  // line.
  std::string Scan(const std::string& message) {
    dir.Write("eud17.tmp", message);
    return ScanAsItStands();
  }
  std::string ScanAsItStands() {
    StartRunLog(state);
    ScanMessageFile(state, target);
    state.Log->Close();
    state.Log.reset();
    return LogAfterFirstLine();
  }
  std::string LogAfterFirstLine() const {
    const std::string log = ScratchDir::ReadOrEmpty(dir.Path("eud17.log"));
    const size_t end = log.find("\r\n");
    return end == std::string::npos ? "<no first line>" : log.substr(end + 2);
  }
  bool MessageFileExists() const {
    return ScratchDir::Exists(state.MessageFilePath);
  }
  // An attachment file in the mail client's attachment folder.
  std::string Attachment(const std::string& name,
                         const std::string& bytes = "contents") {
    dir.MakeDir("attach");
    return dir.Write(std::string("attach") + kSeparator + name, bytes);
  }

  ScratchDir dir;
  ScanPlatform os;
  RunState state;
  Destination target{state};  // where the scan places attachments
  std::string destination;
};

TEST_F(MessageScanTest, EmptyFileWritesNothingAndIsDeleted) {
  EXPECT_EQ(Scan(""), "");
  EXPECT_FALSE(state.ErrorsReported);
  EXPECT_FALSE(state.ActionLogged);
  EXPECT_FALSE(MessageFileExists());
}

TEST_F(MessageScanTest, FileWithoutAttachmentLinesWritesNothingAndIsDeleted) {
  EXPECT_EQ(Scan("From: a@b\r\nTo: c@d\r\nSubject: hello\r\n\r\nBody\r\n"), "");
  EXPECT_FALSE(state.ErrorsReported);
  EXPECT_FALSE(MessageFileExists());
  // The header lines are remembered all the same.
  EXPECT_EQ(state.FromLine, "From: a@b");
  EXPECT_EQ(state.ToLine, "To: c@d");
  EXPECT_EQ(state.SubjectLine, "Subject: hello");
}

TEST_F(MessageScanTest, MissingMessageFileIsTheOneErrorLine) {
  state.FromLine = "From: left over";
  EXPECT_EQ(ScanAsItStands(), "Eudora Message File <" + state.MessageFilePath +
                                  "> does not exist\r\n");
  EXPECT_TRUE(state.ErrorsReported);
  EXPECT_FALSE(state.ActionLogged);
  EXPECT_EQ(state.FromLine, "");
}

TEST_F(MessageScanTest, MessageThatCannotBeOpenedEndsTheScanWithoutATrace) {
  const std::string source = Attachment("report.pdf");
  os.open_error = kErrorSharingViolation;
  EXPECT_EQ(Scan("Attachment Converted: " + source + "\r\n"), "");
  EXPECT_FALSE(state.ErrorsReported);
  EXPECT_FALSE(state.ActionLogged);
  EXPECT_TRUE(MessageFileExists());
  EXPECT_TRUE(ScratchDir::Exists(source));
}

TEST_F(MessageScanTest, MissingSourceIsReportedWithTheHeaderLines) {
  const std::string missing = dir.Path("attach") + kSeparator + "gone.pdf";
  EXPECT_EQ(Scan("From: Ann <ann@example.com>\r\n"
                 "To: Bob <bob@example.com>\r\n"
                 "Subject: the report\r\n"
                 "\r\n"
                 "Attachment Converted: \"" +
                 missing + "\"\r\n"),
            "Attachment Line: Attachment Converted: \"" + missing +
                "\"\r\n\r\n"
                "Source File <" +
                missing +
                "> does not exist\r\n"
                "From: Ann <ann@example.com>\r\n"
                "To: Bob <bob@example.com>\r\n"
                "Subject: the report\r\n");
  EXPECT_TRUE(state.ErrorsReported);
  EXPECT_FALSE(state.ActionLogged);
  EXPECT_FALSE(MessageFileExists());
}

// A destination or source that the system refuses to look at is not
// reported as missing: the line says it cannot be reached, and why.
TEST_F(MessageScanTest, WhatCannotBeReachedIsNotCalledMissing) {
  const std::string source = Attachment("report.pdf");
  for (const std::string& refused : {destination, source}) {
    SCOPED_TRACE(refused);
    os.unreachable = refused;
    const std::string what =
        refused == destination ? "Destination Directory <" : "Source File <";
    EXPECT_EQ(Scan("Attachment Converted: " + source + "\r\n"),
              "Attachment Line: Attachment Converted: " + source + "\r\n\r\n" +
                  what + refused +
                  "> cannot be reached; Code 5\r\n\r\n\r\n\r\n");
    EXPECT_TRUE(state.ErrorsReported);
    EXPECT_TRUE(ScratchDir::Exists(source));
  }
}

// Whatever the reads deliver: a header line whole in one read stays where
// the read put it only until the next read, and one that crossed reads only
// until the next line; the echo shows each as it was. The same for a long
// message, viewed in memory past its first block, whose first header line
// crosses the first view's end.
TEST_F(MessageScanTest, HeaderEchoShowsTheLastHeadersBeforeTheLine) {
  const std::string missing = dir.Path("gone.txt");
  const std::string line = "Attachment Converted: " + missing;
  std::string filler;
  for (int i = 0; i < 40; ++i) filler += "body line\r\n";
  std::string long_lead;
  const size_t lead_end =
      MessageReader::kBlockSize + MessageReader::kViewSize - 5;
  while (long_lead.size() + filler.size() + 100 < lead_end) {
    long_lead += filler;
  }
  long_lead += std::string(lead_end - long_lead.size() - 2, 'x') + "\r\n";
  const struct {
    size_t read_limit;
    const std::string& lead;
  } kRows[] = {{1, ""},    {7, ""},        {32, ""},
               {4096, ""}, {SIZE_MAX, ""}, {SIZE_MAX, long_lead}};
  for (const auto& [read_limit, lead] : kRows) {
    os.read_limit = read_limit;
    os.views = 0;
    state.ToLine.clear();
    std::remove(dir.Path("eud17.log").c_str());
    EXPECT_EQ(Scan(lead +
                   "From: first\r\n"
                   "Subject: one\r\n"
                   "Subject: two\r\n" +
                   filler + line +
                   "\r\n"
                   "from: lower case\r\n"
                   "From:no blank\r\n"
                   "> From: quoted\r\n"
                   "From: forwarded\r\n" +
                   filler + line +
                   "\r\n"
                   "To: too late\r\n" +
                   filler),
              "Attachment Line: " + line + "\r\n\r\nSource File <" + missing +
                  "> does not exist\r\nFrom: first\r\n\r\nSubject: two\r\n"
                  "Attachment Line: " +
                  line + "\r\n\r\nSource File <" + missing +
                  "> does not exist\r\nFrom: forwarded\r\n\r\nSubject: "
                  "two\r\n")
        << "reads of at most " << read_limit << " bytes, lead of "
        << lead.size();
    EXPECT_EQ(state.ToLine, "To: too late") << read_limit;
#ifndef _WIN32
    EXPECT_EQ(os.views > 0, !lead.empty()) << lead.size();
#endif
  }
}

TEST_F(MessageScanTest, LinesThatOnlyLookLikeAttachmentLinesArePassedOver) {
  const std::string source = Attachment("report.pdf");
  EXPECT_EQ(Scan("Attachment converted: " + source +
                 "\r\n"
                 "attachment Converted: " +
                 source +
                 "\r\n"
                 " Attachment Converted: " +
                 source +
                 "\r\n"
                 "Attachment Converted:" +
                 source + "\r\nAttachment Converted"),
            "");
  EXPECT_FALSE(state.ErrorsReported);
  EXPECT_TRUE(ScratchDir::Exists(source));
}

TEST_F(MessageScanTest, MissingDestinationIsReportedOnEveryLine) {
  const std::string source = Attachment("report.pdf");
  state.DestinationDir = dir.Path("nowhere");
  const std::string line = "Attachment Converted: \"" + source + "\"";
  const std::string report = "Attachment Line: " + line +
                             "\r\n\r\nDestination Directory <" +
                             state.DestinationDir +
                             "> does not exist\r\n"
                             "From: x\r\n\r\n\r\n";
  EXPECT_EQ(Scan("From: x\r\n" + line + "\r\n" + line + "\r\n" + line),
            report + report + report);
  EXPECT_TRUE(state.ErrorsReported);
  EXPECT_FALSE(MessageFileExists());
  EXPECT_TRUE(ScratchDir::Exists(source));
  // No attachment file was tested: only the message file and, once per
  // line, the destination folder were.
  EXPECT_EQ(os.file_tests, std::vector<std::string>(
                               {state.MessageFilePath, state.DestinationDir,
                                state.DestinationDir, state.DestinationDir}));
}

TEST_F(MessageScanTest, PathTextLosesOneQuoteAtEachEndAndNothingElse) {
  const struct {
    const char* name;
    std::string rest;  // after the prefix
    std::string source_path;
  } cases[] = {
      {"only the prefix", "", ""},
      {"one quote", "\"", ""},
      {"two quotes", "\"\"", ""},
      {"blank after the closing quote", "\"a b.txt\" ", "a b.txt\" "},
      {"blank before the opening quote", " \"a.txt\"", " \"a.txt"},
      {"doubled quotes", "\"\"a.txt\"\"", "\"a.txt\""},
      {"blanks stay", "  a.txt  ", "  a.txt  "},
      {"quote only at the end", "a.txt\"", "a.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = "Attachment Converted: " + c.rest;
    EXPECT_EQ(Scan("Subject: s\n" + line + "\n"),
              "Attachment Line: " + line + "\r\n\r\nSource File <" +
                  c.source_path + "> does not exist\r\n\r\n\r\nSubject: s\r\n");
    // The source looked up is the path without its quotes.
    EXPECT_EQ(os.file_tests.back(), c.source_path);
  }
}

TEST_F(MessageScanTest, PlainAndQuotedPathsPlaceTheSameFile) {
  const std::string source = Attachment("report.pdf", "first");
  const std::string target = destination + kSeparator + "report.pdf";
  const std::string moved =
      "Moving from <" + source + "> to <" + target + ">\r\n";
  EXPECT_EQ(
      Scan("Attachment Converted: " + source + "\r\n"),
      "Attachment Line: Attachment Converted: " + source + "\r\n\r\n" + moved);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(target), "first");
  EXPECT_FALSE(ScratchDir::Exists(source));
  EXPECT_TRUE(state.ActionLogged);
  EXPECT_FALSE(state.ErrorsReported);

  Attachment("report.pdf", "first");
  EXPECT_EQ(Scan("Attachment Converted: \"" + source + "\"\r\n"),
            "Attachment Line: Attachment Converted: \"" + source +
                "\"\r\n\r\nDuplicate of <" + source + "> already in <" +
                target + "> - only deleting source\r\n");
  EXPECT_FALSE(ScratchDir::Exists(source));
  EXPECT_FALSE(MessageFileExists());
}

// A moved attachment's source waits for the destination folder's flush,
// yet a later line naming the same file, in any spelling, finds it gone,
// as the log always said.
TEST_F(MessageScanTest, ALaterLineNamingAMovedFileFindsItGone) {
  const std::string source = Attachment("report.pdf", "first");
  const std::string again =
      dir.Path("attach") + kSeparator + "." + kSeparator + "report.pdf";
  const std::string target = destination + kSeparator + "report.pdf";
  EXPECT_EQ(Scan("Attachment Converted: " + source +
                 "\r\nAttachment Converted: " + again + "\r\n"),
            "Attachment Line: Attachment Converted: " + source +
                "\r\n\r\nMoving from <" + source + "> to <" + target +
                ">\r\nAttachment Line: Attachment Converted: " + again +
                "\r\n\r\nSource File <" + again +
                "> does not exist\r\n\r\n\r\n\r\n");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(target), "first");
  EXPECT_FALSE(ScratchDir::Exists(source));
}

TEST_F(MessageScanTest, LastLineWithoutEndAndLongLinesAreHandledWhole) {
  // Kept under 260 characters in all, so that Windows finds the file.
  const std::string long_name = std::string(150, 'n') + ".txt";
  const std::string source = Attachment(long_name, "x");
  // An attachment line of well over 400 characters with its prefix.
  const std::string missing = dir.Path(std::string(400, 'm'));
  const std::string log = Scan("Attachment Converted: \"" + missing +
                               "\"\nAttachment Converted: " + source);
  EXPECT_EQ(log, "Attachment Line: Attachment Converted: \"" + missing +
                     "\"\r\n\r\nSource File <" + missing +
                     "> does not exist\r\n\r\n\r\n\r\n"
                     "Attachment Line: Attachment Converted: " +
                     source + "\r\n\r\nMoving from <" + source + "> to <" +
                     destination + kSeparator + long_name + ">\r\n");
  EXPECT_TRUE(ScratchDir::Exists(destination + kSeparator + long_name));
}

TEST_F(MessageScanTest, MixedLineEndsAndLoneCarriageReturns) {
  const std::string source = Attachment("a.txt");
  const std::string expected =
      "Attachment Line: Attachment Converted: " + source +
      "\r\n\r\nMoving from <" + source + "> to <" + destination + kSeparator +
      "a.txt>\r\n";
  // A lone CR inside the prefix disappears, so the line still matches.
  EXPECT_EQ(
      Scan("From: x\nTo: y\r\nAttachment Conv\rerted: " + source + "\r\n"),
      expected);
}

TEST_F(MessageScanTest, CtrlZAtALineStartEndsTheTextAndTheFileIsDeleted) {
  const std::string source = Attachment("a.txt");
  EXPECT_EQ(Scan("From: x\r\n\x1a"
                 "Attachment Converted: " +
                 source + "\r\nAttachment Converted: " + source + "\r\n"),
            "");
  EXPECT_TRUE(ScratchDir::Exists(source));
  EXPECT_FALSE(MessageFileExists());
}

TEST_F(MessageScanTest, CtrlZAloneOnALineInTheMiddleOfALongMessage) {
  const std::string source = Attachment("a.txt");
  std::string body;
  for (int i = 0; i < 50; ++i) body += "Some ordinary text of a message.\n";
  EXPECT_EQ(Scan(body + "\x1a\n" + body + "Attachment Converted: " + source +
                 "\n" + body),
            "");
  EXPECT_TRUE(ScratchDir::Exists(source));
  EXPECT_FALSE(MessageFileExists());
}

TEST_F(MessageScanTest, CtrlZInsideALineEndsThatLineOnly) {
  const std::string source = Attachment("a.txt");
  const std::string missing = dir.Path("b.txt");
  EXPECT_EQ(Scan("Attachment Converted: " + missing + "\x1a" + "junk\r\n" +
                 "Attachment Converted: " + source + "\r\n"),
            "Attachment Line: Attachment Converted: " + missing +
                "\r\n\r\nSource File <" + missing +
                "> does not exist\r\n\r\n\r\n\r\n"
                "Attachment Line: Attachment Converted: " +
                source + "\r\n\r\nMoving from <" + source + "> to <" +
                destination + kSeparator + "a.txt>\r\n");
  EXPECT_FALSE(ScratchDir::Exists(source));
}

// A failed open (for want of handles), read or close of the message stops
// the run with an error that says which operation failed on which path.
TEST_F(MessageScanTest, FailedOpenReadOrCloseStopsTheRunAndKeepsTheMessage) {
  const struct {
    uint32_t ScanPlatform::*error;
    uint32_t code;
    InOutOperation operation;
  } cases[] = {
      {&ScanPlatform::open_error, kErrorTooManyOpenFiles,
       InOutOperation::kMessageOpen},
      {&ScanPlatform::read_error, kErrorAccessDenied,
       InOutOperation::kMessageRead},
      {&ScanPlatform::close_error, 1117, InOutOperation::kMessageClose},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(InOutOperationName(c.operation));
    dir.Write("eud17.tmp", "From: x\r\n");
    os.open_error = os.read_error = os.close_error = 0;
    os.*c.error = c.code;
    StartRunLog(state);
    try {
      ScanMessageFile(state, target);
      ADD_FAILURE() << "no failure raised";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.code(), c.code);
      EXPECT_EQ(error.operation(), c.operation);
      EXPECT_EQ(error.path(), state.MessageFilePath);
    }
    state.Log->Close();
    state.Log.reset();
    EXPECT_TRUE(MessageFileExists());
  }
}

}  // namespace
}  // namespace stashwell
