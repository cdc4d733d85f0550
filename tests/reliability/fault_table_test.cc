// Fault injection through the platform seam: every checked file operation
// of a run fails in turn (the log's creation, writes and close, the message
// file's reads and close, the comparison's opens, size queries, reads and
// closes). Each failure must end the run with the error report and exit
// code 1, leave the log holding every line written before it, and lose no
// attachment.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/run_driver.h"
#include "reliability/invariant.h"
#include "run/run_log.h"
#include "support/scratch_dir.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {

enum class Op {
  kLogCreate,
  kLogWrite,
  kLogWriteOnce,
  kLogClose,
  kMessageRead,
  kMessageClose,
  kCompareOpen,
  kCompareSize,
  kCompareRead,
  kCompareClose,
};

const char* OpName(Op op) {
  switch (op) {
    case Op::kLogCreate:
      return "log create";
    case Op::kLogWrite:
      return "log write";
    case Op::kLogWriteOnce:
      return "log write (once)";
    case Op::kLogClose:
      return "log close";
    case Op::kMessageRead:
      return "message read";
    case Op::kMessageClose:
      return "message close";
    case Op::kCompareOpen:
      return "comparison open";
    case Op::kCompareSize:
      return "comparison size";
    case Op::kCompareRead:
      return "comparison read";
    case Op::kCompareClose:
      return "comparison close";
  }
  return "?";
}

// Counts the checked operations by kind and fails the chosen one. A failed
// log write stands for a full disk: every later write of the log fails too.
class NthCheckedFailurePlatform : public TestPlatform {
 public:
  NthCheckedFailurePlatform(Op op, int nth, uint32_t code)
      : fault_op_(op), fault_nth_(nth), fault_code_(code) {}
  NthCheckedFailurePlatform() = default;

  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    if (use == FileUse::kLog && Fails(Op::kLogCreate)) return fault_code_;
    if (use == FileUse::kComparison && Fails(Op::kCompareOpen)) {
      return fault_code_;
    }
    return TestPlatform::Open(path, use, file);
  }
  uint32_t FileRead(WrappedFile& file, void* buffer, size_t size,
                    size_t* count) override {
    const bool message = file.use() == FileUse::kMessage;
    if (Fails(message ? Op::kMessageRead : Op::kCompareRead)) {
      return fault_code_;
    }
    return TestPlatform::FileRead(file, buffer, size, count);
  }
  uint32_t FileSize(WrappedFile& file, uint64_t* size) override {
    if (Fails(Op::kCompareSize)) return fault_code_;
    return TestPlatform::FileSize(file, size);
  }
  uint32_t FileWrite(WrappedFile& file, const void* data,
                     size_t size) override {
    if (file.use() == FileUse::kLog) {
      if (disk_full_ || Fails(Op::kLogWrite)) {
        disk_full_ = true;
        return fault_code_;
      }
      // A failure that passes: the next write would succeed.
      if (Fails(Op::kLogWriteOnce)) return fault_code_;
    }
    return TestPlatform::FileWrite(file, data, size);
  }
  uint32_t FileClose(WrappedFile& file) override {
    const uint32_t code = TestPlatform::FileClose(file);
    const Op op = file.use() == FileUse::kLog       ? Op::kLogClose
                  : file.use() == FileUse::kMessage ? Op::kMessageClose
                                                    : Op::kCompareClose;
    // The file is closed all the same: a failed close still gives its
    // handle back.
    const bool failed = Fails(op);
    if (file.use() == FileUse::kMessage) message_closed_ = true;
    return failed ? fault_code_ : code;
  }
  // Every existence test of the destination folder follows the echo of an
  // attachment line: their count tells how many attachment lines the log
  // holds so far.
  PathKind Examine(const std::string& path, uint32_t* code) override {
    const PathKind kind = TestPlatform::Examine(path, code);
    if (kind == PathKind::kFolder) ++echoes_;
    return kind;
  }

  std::map<Op, int> counts;
  // Per operation that failed: the echoes written before it.
  int echoes_at_fault = -1;
  // The fault came after the scan closed the message file: the held steps
  // were settled by then, and the message is deleted next.
  bool after_scan = false;

 private:
  bool Fails(Op op) {
    const int n = ++counts[op];
    if (fault_nth_ == 0 || op != fault_op_ || n != fault_nth_) return false;
    echoes_at_fault = echoes_;
    after_scan = message_closed_;
    return true;
  }

  Op fault_op_ = Op::kLogCreate;
  int fault_nth_ = 0;  // 0: no fault
  uint32_t fault_code_ = 0;
  bool disk_full_ = false;
  bool message_closed_ = false;
  int echoes_ = 0;
};

// Three attachments (a move, a duplicate of 20000 bytes, a different
// version of the same length) and a missing one, with header lines, so the
// log spans several 128-byte blocks.
struct Scenario {
  ScratchDir dir;
  std::string destination;
  std::string attachments;
  std::string message;
  std::string log;

  Scenario() { Populate(); }

  // Puts the folder back as it was before any run, at the same paths, so
  // that a reference run and a faulty run write logs of the same bytes.
  void Reset() {
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      std::filesystem::remove_all(entry.path());
    }
    Populate();
  }

 private:
  void Populate() {
    const std::string sep(1, kSeparator);
    destination = dir.MakeDir("dest");
    attachments = dir.MakeDir("att");
    std::string big(20000, 'b');
    std::string other = big;
    other.back() = 'c';
    dir.Write("att" + sep + "a.pdf", "first attachment");
    dir.Write("att" + sep + "b.pdf", big);
    dir.Write("dest" + sep + "b.pdf", big);
    dir.Write("att" + sep + "c.pdf", other);
    dir.Write("dest" + sep + "c.pdf", big);
    std::string text =
        "From: sender@example.com\r\nTo: you\r\nSubject: faults\r\n";
    for (const char* name : {"a.pdf", "b.pdf", "missing.pdf", "c.pdf"}) {
      text += "Attachment Converted: \"" + attachments + sep + name + "\"\r\n";
    }
    message = dir.Write("msg.txt", text);
    log = dir.Path("msg.log");
  }
};

// The log text up to and including the empty line after the n-th echo of
// an attachment line, or the date line alone for n = 0.
std::string ThroughEcho(const std::string& log, int n) {
  size_t end = log.find("\r\n") + 2;
  for (int i = 0; i < n; ++i) {
    end = log.find("\r\nAttachment Line: ", end - 2);
    if (end == std::string::npos) return "<no such echo>";
    end = log.find("\r\n\r\n", end + 2) + 4;
  }
  return log.substr(0, end);
}

struct Row {
  Op op;
  uint32_t code;
  const char* message;  // in the error report
};

const Row kRows[] = {
    {Op::kLogCreate, 5, "File access denied"},
    {Op::kLogWrite, 112, "I/O error 112"},
    {Op::kLogWriteOnce, 19, "I/O error 19"},
    {Op::kLogClose, 101, "Disk full"},
    {Op::kMessageRead, 100, "Read beyond end of file"},
    {Op::kMessageClose, 6, "I/O error 6"},
    {Op::kCompareOpen, 32, "I/O error 32"},
    {Op::kCompareSize, 4, "Too many open files"},
    {Op::kCompareRead, 2, "File not found"},
    {Op::kCompareClose, 3, "Invalid filename"},
};

TEST(FaultTableTest, EveryCheckedOperationFailingInTurnKeepsEveryAttachment) {
  // The reference run: how often each operation happens, and the log.
  std::map<Op, int> counts;
  std::string reference_log;
  {
    Scenario s;
    NthCheckedFailurePlatform os;
    os.SetArguments({s.message, s.destination});
    ASSERT_EQ(RunProgram(os), 0);
    counts = os.counts;
    reference_log = ScratchDir::ReadOrEmpty(s.log);
    ASSERT_NE(reference_log.find("Duplicate of <"), std::string::npos);
    ASSERT_NE(reference_log.find("Different version of <"), std::string::npos);
  }
  ASSERT_GT(reference_log.size(), 3 * RunLog::kBufferSize);

  int injected = 0;
  for (const Row& row : kRows) {
    ASSERT_GT(counts[row.op], 0) << OpName(row.op);
    for (int nth = 1; nth <= counts[row.op]; ++nth) {
      SCOPED_TRACE(std::string(OpName(row.op)) + " number " +
                   std::to_string(nth));
      Scenario s;
      std::string reference_log;
      {
        NthCheckedFailurePlatform os;
        os.SetArguments({s.message, s.destination});
        ASSERT_EQ(RunProgram(os), 0);
        reference_log = ScratchDir::ReadOrEmpty(s.log);
      }
      s.Reset();
      const TreeSnapshot before = TakeSnapshot(s.dir.path());
      NthCheckedFailurePlatform os(row.op, nth, row.code);
      os.SetArguments({s.message, s.destination});
      EXPECT_EQ(RunProgram(os), 1);
      ++injected;
      ASSERT_EQ(os.boxes.size(), 1u);
      EXPECT_EQ(os.boxes[0].kind, "error");
      EXPECT_EQ(os.boxes[0].caption, "Application Error");
      const std::string tail = std::string(".\r\n") + row.message + ".\r\n";
      EXPECT_EQ(os.boxes[0].text.substr(0, 31),
                "Exception EInOutError in module");
      EXPECT_TRUE(os.boxes[0].text.size() >= tail.size() &&
                  os.boxes[0].text.substr(os.boxes[0].text.size() -
                                          tail.size()) == tail)
          << os.boxes[0].text;

      const bool has_log = ScratchDir::Exists(s.log);
      const std::string log = ScratchDir::ReadOrEmpty(s.log);
      std::string expected;
      switch (row.op) {
        case Op::kLogCreate:
          EXPECT_FALSE(has_log);
          break;
        case Op::kLogWrite:
        case Op::kLogWriteOnce:
          // Whole blocks before the failed one, nothing after: the log
          // never holds a line with a block missing from its middle.
          expected = reference_log.substr(0, (nth - 1) * RunLog::kBufferSize);
          break;
        case Op::kLogClose:
          expected = reference_log;
          break;
        case Op::kMessageRead:
        case Op::kMessageClose:
          // The first read comes before any line; the last read (the end
          // of the file) and the close after every line.
          expected = nth == 1 && row.op == Op::kMessageRead
                         ? ThroughEcho(reference_log, 0)
                         : reference_log;
          break;
        default:
          // Nothing is written between an attachment line's echo and the
          // comparison that placement makes for it.
          expected = ThroughEcho(reference_log, os.echoes_at_fault);
          break;
      }
      if (row.op != Op::kLogCreate) {
        EXPECT_EQ(log, expected);
      }

      RunFacts facts;
      facts.base = s.dir.path();
      facts.message_file = s.message;
      facts.destination_dir = s.destination;
      facts.log_path = NormalPath(s.log, facts.base);
      facts.log_text = log;
      facts.stopped = true;
      // A failure after the scan (the log's close, or the write of its
      // last block as it closes) finds the message deleted.
      const bool message_kept = !os.after_scan || (row.op != Op::kLogClose &&
                                                   row.op != Op::kLogWrite &&
                                                   row.op != Op::kLogWriteOnce);
      // A full disk loses the block that failed: the log may then miss the
      // line of a move, and the moved file is found by its bytes.
      facts.log_lost_lines =
          row.op == Op::kLogWrite || row.op == Op::kLogWriteOnce;
      facts.stopped_after_scan = !message_kept;
      const TreeSnapshot after = TakeSnapshot(s.dir.path());
      for (const std::string& problem :
           CheckNothingLost(before, after, facts)) {
        ADD_FAILURE() << problem;
      }
      for (const std::string& problem : CheckLogLines(facts)) {
        ADD_FAILURE() << problem;
      }
      EXPECT_EQ(ScratchDir::Exists(s.message), message_kept);
    }
  }
  std::printf("fault table: %d faults injected\n", injected);
  EXPECT_GE(injected, 20);
}

}  // namespace
}  // namespace stashwell
