#include "scan/message_reader.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_platform.h"
#include "run/in_out_error.h"
#include "support/platform_wrapper.h"
#include "support/scratch_dir.h"

namespace stashwell {
namespace {

using Lines = std::vector<std::string>;

// All lines of input, offered to the splitter in blocks of block_size.
// With first_bytes, lines that start otherwise may be passed over; with
// prefixes, lines whose text starts with none of them.
Lines SplitAll(const std::string& input, size_t block_size,
               LineSplitter::Method method = LineSplitter::kBest,
               const char* first_bytes = nullptr,
               std::initializer_list<std::string_view> prefixes = {}) {
  LineSplitter splitter(method);
  if (first_bytes) splitter.PassOverLinesNotStartingWith(first_bytes);
  if (prefixes.size() != 0) splitter.PassOverLinesWithoutPrefix(prefixes);
  Lines lines;
  size_t offset = 0;
  std::string_view line;
  for (;;) {
    const LineSplitter::Result result = splitter.Next(&line);
    if (result == LineSplitter::Result::kEnd) break;
    if (result == LineSplitter::Result::kLine) {
      lines.emplace_back(line);
      continue;
    }
    const size_t take = std::min(block_size, input.size() - offset);
    splitter.Feed(std::string_view(input).substr(offset, take));
    offset += take;
  }
  return lines;
}

// The text rules, byte by byte, as plainly as they can be written.
Lines ReferenceLines(const std::string& input) {
  Lines lines;
  std::string current;
  bool in_line = false;
  bool skipping = false;
  for (const char c : input) {
    if (!in_line && c == 26) return lines;
    in_line = true;
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
      in_line = false;
      skipping = false;
    } else if (c == 26) {
      skipping = true;
    } else if (c != '\r' && !skipping) {
      current += c;
    }
  }
  if (in_line) lines.push_back(current);
  return lines;
}

// Where random text may hold a Ctrl-Z: nowhere, anywhere (it ends the
// text at a line start), or only after a letter, inside a line.
enum class CtrlZ { kNone, kAnywhere, kInsideLines };

// Random text of at least size bytes with every irregular byte and runs of
// up to longest bytes without a line end.
std::string RandomText(unsigned seed, size_t size, size_t longest,
                       CtrlZ ctrl_z) {
  std::mt19937 random(seed);
  std::string input;
  while (input.size() < size) {
    const unsigned kind = random() % 1000;
    if (kind < 40) {
      input += '\r';
    } else if (kind < 42 && ctrl_z != CtrlZ::kNone) {
      if (ctrl_z == CtrlZ::kAnywhere ||
          (!input.empty() && input.back() >= 'a')) {
        input += '\x1a';
      }
    } else if (kind < 120) {
      input += "\r\n";
    } else if (kind < 170) {
      input += '\n';
    } else if (kind < 171) {
      input += std::string(random() % longest, 'L');
    } else {
      input += static_cast<char>('a' + random() % 26);
    }
  }
  return input;
}

struct SplitCase {
  const char* name;
  std::string input;
  Lines lines;
};

const SplitCase kSplitCases[] = {
    {"empty file", "", {}},
    {"LF ends", "From: a\nTo: b\n", {"From: a", "To: b"}},
    {"CR LF ends", "From: a\r\nTo: b\r\n", {"From: a", "To: b"}},
    {"mixed ends",
     "From: a\nTo: b\r\nSubject: c",
     {"From: a", "To: b", "Subject: c"}},
    {"last line without end", "one\ntwo", {"one", "two"}},
    {"empty lines", "\n\r\n\n", {"", "", ""}},
    {"lone CR dropped", "ab\rcd\n", {"abcd"}},
    {"lone CR at the end", "ab\r", {"ab"}},
    {"CR CR LF", "ab\r\r\ncd", {"ab", "cd"}},
    {"lone CR alone after the last LF", "ab\n\r", {"ab", ""}},
    {"Ctrl-Z starts the text", std::string("\x1a") + "ab\ncd\n", {}},
    {"Ctrl-Z alone", "\x1a", {}},
    {"Ctrl-Z at a line start",
     "ab\n\x1a"
     "cd\nef\n",
     {"ab"}},
    {"Ctrl-Z at a line start after CR LF", "ab\r\n\x1a\r\nef\r\n", {"ab"}},
    {"Ctrl-Z inside a line",
     "ab\x1a"
     "cd\nef\n",
     {"ab", "ef"}},
    {"Ctrl-Z before CR LF", "ab\x1a\r\nef", {"ab", "ef"}},
    {"Ctrl-Z after CR", "ab\r\x1a\nef", {"ab", "ef"}},
    {"Ctrl-Z after a lone CR at a line start",
     "a\n\r\x1a"
     "b\nc",
     {"a", "", "c"}},
    {"two Ctrl-Z inside a line", "ab\x1a\x1a\ncd", {"ab", "cd"}},
    {"Ctrl-Z inside the last line",
     "ab\ncd\x1a"
     "ef",
     {"ab", "cd"}},
    {"Ctrl-Z and a line start later",
     "ab\x1a"
     "cd\n\x1a"
     "ef\ngh",
     {"ab"}},
    {"bytes kept as they are",
     std::string("\xe4\x00\x7f\xff\n", 5),
     {std::string("\xe4\x00\x7f\xff", 4)}},
};

struct SplitterSetting {
  LineSplitter::Method method;
  size_t block_size;
};

void PrintTo(const SplitterSetting& setting, std::ostream* out) {
  static const char* const kNames[] = {"AVX2", "SSE2", "search"};
  *out << kNames[static_cast<int>(setting.method)] << ", blocks of "
       << setting.block_size;
}

class LineSplitterTest : public ::testing::TestWithParam<SplitterSetting> {};

#if defined(__i386__) || defined(__x86_64__)
// Every x86 build walks the lines with vectors: the 32-bit Windows program
// is built for SSE2, and a build without it would search byte by byte.
TEST(LineSplitter, X86BuildsWalkWithVectors) {
  EXPECT_NE(LineSplitter::kBest, LineSplitter::Method::kSearch);
}
#endif

constexpr LineSplitter::Method kMethods[] = {LineSplitter::Method::kAvx2,
                                             LineSplitter::Method::kSse2,
                                             LineSplitter::Method::kSearch};

TEST_P(LineSplitterTest, SameLinesWhateverTheBlocks) {
  for (const SplitCase& c : kSplitCases) {
    EXPECT_EQ(SplitAll(c.input, GetParam().block_size, GetParam().method),
              c.lines)
        << c.name;
    EXPECT_EQ(ReferenceLines(c.input), c.lines) << c.name;
  }
}

// Mail-like text with CR LF, LF, lone CRs, Ctrl-Z inside lines and now
// and then at a line start, and a long line here and there, so that every
// kind of byte falls on every place of a 64-byte window and of a block.
TEST_P(LineSplitterTest, AgreesWithTheByteByByteRules) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    const std::string input =
        RandomText(seed, 300 * 1024, 5000,
                   seed % 2 == 0 ? CtrlZ::kAnywhere : CtrlZ::kNone);
    const Lines expected = ReferenceLines(input);
    ASSERT_GT(expected.size(), 100u) << seed;
    EXPECT_TRUE(SplitAll(input, GetParam().block_size, GetParam().method) ==
                expected)
        << "seed " << seed;
  }
}

// Every case once more after a start of varying length, so that each of
// its bytes falls on every place of a 64-byte window.
TEST_P(LineSplitterTest, SameLinesAtEveryPlaceOfAWindow) {
  for (size_t pad = 0; pad < 70; ++pad) {
    const std::string start =
        std::string(pad, 'p') + "\r\n" + std::string(100, 'q') + "\n";
    for (const SplitCase& c : kSplitCases) {
      const std::string input = start + c.input;
      EXPECT_EQ(SplitAll(input, GetParam().block_size, GetParam().method),
                ReferenceLines(input))
          << c.name << ", after " << pad;
    }
  }
}

Lines StartingWithAnyOf(const Lines& lines, std::string_view first_bytes) {
  Lines kept;
  for (const std::string& line : lines) {
    if (!line.empty() && first_bytes.find(line[0]) != std::string_view::npos) {
      kept.push_back(line);
    }
  }
  return kept;
}

// Lines of every length up to a few windows, starting with wanted and
// unwanted bytes, with lone CRs and Ctrl-Z among them: every wanted line is
// still handed out, also when more first bytes are wanted than the vector
// walk tells apart (it then hands out every line), and when two marked
// bytes share a low half ('z' and Ctrl-Z), which one table lookup cannot
// tell apart, or a marked byte is above 0x7f, which the lookup never gives.
TEST_P(LineSplitterTest, PassingOverLinesKeepsEveryWantedLine) {
  for (const char* wanted :
       {"FS", "FTSA", "Az", "A\xe9", "FTSAxy", "FTSAxyz"}) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
      std::mt19937 random(seed);
      // Odd seeds: short lines; even seeds: lines up to 200 bytes.
      const unsigned line_end = seed % 2 == 1 ? 16 : 2;
      std::string input;
      while (input.size() < 200 * 1024) {
        const unsigned kind = random() % 1000;
        if (kind < 20) {
          input += '\r';
        } else if (kind < 25 && seed % 4 == 0) {
          input += '\x1a';
        } else if (kind < 25 + 4 * line_end) {
          input += "\r\n";
        } else if (kind < 25 + 6 * line_end) {
          input += '\n';
        } else {
          input += "FTSAxyz\xe9"[random() % 8];
        }
      }
      const Lines got =
          SplitAll(input, GetParam().block_size, GetParam().method, wanted);
      const Lines expected = ReferenceLines(input);
      EXPECT_TRUE(StartingWithAnyOf(got, wanted) ==
                  StartingWithAnyOf(expected, wanted))
          << wanted << ", seed " << seed;
    }
  }
}

// Lines made of pieces of the scan's prefixes, whole and cut short, with
// CRs inside them (dropped from the text, so "Fr\rom: " starts with
// "From: "), Ctrl-Z inside lines and line ends at every place: every line
// whose text starts with a prefix is still handed out.
TEST_P(LineSplitterTest, PassingOverByPrefixKeepsEveryLineWithAPrefix) {
  static constexpr std::string_view kPieces[] = {
      "From: ",      "Fr",
      "om: ",        "From:",
      "To: ",        "T",
      "Subject: ",   "Subj",
      "ect: ",       "Attachment Converted: ",
      "Attachment ", "Converted: ",
      "x",           "\r",
      "\r\n",        "\n",
      "x\x1a",       "word word "};
  const std::initializer_list<std::string_view> prefixes = {
      "From: ", "To: ", "Subject: ", "Attachment Converted: "};
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    std::string input;
    while (input.size() < 200 * 1024) {
      const std::string_view piece = kPieces[random() % std::size(kPieces)];
      input += piece;
    }
    const Lines got = SplitAll(input, GetParam().block_size, GetParam().method,
                               nullptr, prefixes);
    Lines expected;
    for (const std::string& line : ReferenceLines(input)) {
      for (const std::string_view prefix : prefixes) {
        if (line.starts_with(prefix)) expected.push_back(line);
      }
    }
    Lines kept;
    for (const std::string& line : got) {
      for (const std::string_view prefix : prefixes) {
        if (line.starts_with(prefix)) kept.push_back(line);
      }
    }
    ASSERT_GT(expected.size(), 100u) << seed;
    EXPECT_TRUE(kept == expected) << "seed " << seed;
  }
}

TEST(LineSplitter, NeverPassesOverTheEndOfTheText) {
  const std::string start = std::string(100, 'x') + "\r\nFrom: a\r\n";
  for (const auto method : kMethods) {
    for (const char* end : {"\x1a\n", "\x1a\r\n",
                            "\x1a"
                            "F\n",
                            "\x1a"}) {
      const std::string input =
          start + end + "From: b\r\n" + std::string(200, 'y') + "\n";
      EXPECT_EQ(SplitAll(input, 64 * 1024, method, "F"), Lines{"From: a"})
          << static_cast<int>(method) << " " << end;
    }
  }
}

TEST(LineSplitter, PassesOverLinesOfRegularText) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "From: a\r\nbody\r\n\r\nSubject: b\n";
  for (const auto method : kMethods) {
    const Lines got = SplitAll(input, 64 * 1024, method, "FS");
    EXPECT_EQ(StartingWithAnyOf(got, "FS"),
              StartingWithAnyOf(ReferenceLines(input), "FS"));
    // Of the 2000 other lines, only those near the end of the block, left
    // to the general rules, are handed out.
    EXPECT_LT(got.size(), 2010u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, LineSplitterTest,
    ::testing::Values(SplitterSetting{LineSplitter::Method::kAvx2, 1},
                      SplitterSetting{LineSplitter::Method::kAvx2, 3},
                      SplitterSetting{LineSplitter::Method::kAvx2, 64},
                      SplitterSetting{LineSplitter::Method::kAvx2, 65},
                      SplitterSetting{LineSplitter::Method::kAvx2, 200},
                      SplitterSetting{LineSplitter::Method::kAvx2, 64 * 1024},
                      SplitterSetting{LineSplitter::Method::kSse2, 65},
                      SplitterSetting{LineSplitter::Method::kSse2, 200},
                      SplitterSetting{LineSplitter::Method::kSse2, 64 * 1024},
                      SplitterSetting{LineSplitter::Method::kSearch, 1},
                      SplitterSetting{LineSplitter::Method::kSearch, 5},
                      SplitterSetting{LineSplitter::Method::kSearch, 200},
                      SplitterSetting{LineSplitter::Method::kSearch,
                                      64 * 1024}));

TEST(LineSplitter, LfCrLfAndMixedGiveTheSameLines) {
  const Lines lf = SplitAll("a\nb\nc\n", 4);
  EXPECT_EQ(SplitAll("a\r\nb\r\nc\r\n", 4), lf);
  EXPECT_EQ(SplitAll("a\r\nb\nc", 4), lf);
}

TEST(LineSplitter, CtrlZAtLineStartEndsWithoutAskingForMore) {
  LineSplitter splitter;
  splitter.Feed("ab\n\x1a");
  std::string_view line;
  ASSERT_EQ(splitter.Next(&line), LineSplitter::Result::kLine);
  EXPECT_EQ(line, "ab");
  EXPECT_EQ(splitter.Next(&line), LineSplitter::Result::kEnd);
  EXPECT_EQ(splitter.Next(&line), LineSplitter::Result::kEnd);
}

TEST(LineSplitter, AsksForMoreUntilTheFileEnds) {
  LineSplitter splitter;
  std::string_view line;
  EXPECT_EQ(splitter.Next(&line), LineSplitter::Result::kNeedMore);
  splitter.Feed("abc");
  EXPECT_EQ(splitter.Next(&line), LineSplitter::Result::kNeedMore);
  splitter.Feed("");
  ASSERT_EQ(splitter.Next(&line), LineSplitter::Result::kLine);
  EXPECT_EQ(line, "abc");
  EXPECT_EQ(splitter.Next(&line), LineSplitter::Result::kEnd);
}

// Owns the real platform; a base class, so that it is built before the
// wrapper that forwards to it.
struct SystemPlatformHolder {
  std::unique_ptr<Platform> system = MakeSystemPlatform(0, nullptr);
};

// The real platform, with reads watched, faults injected and, after the
// first read, reads cut short: the reader then gets its long blocks in
// pieces of short_reads bytes, so that lines cross the ends of blocks of
// any length.
class WatchedPlatform : private SystemPlatformHolder, public PlatformWrapper {
 public:
  WatchedPlatform() : PlatformWrapper(*system) {}

  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    reads_of_file_ = 0;
    return PlatformWrapper::Open(path, use, file);
  }
  uint32_t FileRead(WrappedFile& file, void* buffer, size_t size,
                    size_t* count) override {
    read_sizes.push_back(size);
    if (read_error != 0 && read_sizes.size() > reads_before_error) {
      return read_error;
    }
    if (++reads_of_file_ > 1) size = std::min(size, short_reads);
    return PlatformWrapper::FileRead(file, buffer, size, count);
  }
  // Views are offered only where a test asks for them, whatever they cost
  // on this machine; the others read.
  bool FileViewPays(WrappedFile&, uint64_t) override { return views; }
  uint32_t FileView(WrappedFile& file, uint64_t offset, size_t most,
                    std::string_view* bytes) override {
    if (!views) return kErrorNotSupported;
    view_offsets.push_back(offset);
    return PlatformWrapper::FileView(file, offset, most, bytes);
  }
  uint32_t FileClose(WrappedFile& file) override {
    ++closes;
    const uint32_t code = PlatformWrapper::FileClose(file);
    return close_error != 0 ? close_error : code;
  }

  std::vector<size_t> read_sizes;
  bool views = false;
  std::vector<uint64_t> view_offsets;
  size_t reads_before_error = 0;
  uint32_t read_error = 0;
  uint32_t close_error = 0;
  size_t short_reads = static_cast<size_t>(-1);
  int closes = 0;

 private:
  size_t reads_of_file_ = 0;
};

Lines ReadAll(Platform& os, const std::string& path) {
  std::unique_ptr<File> file;
  EXPECT_EQ(os.Open(path, FileUse::kMessage, &file), 0u);
  MessageReader reader(std::move(file), path);
  Lines lines;
  std::string_view line;
  while (reader.ReadLine(&line)) lines.emplace_back(line);
  reader.Close();
  return lines;
}

TEST(MessageReader, ReadsTheFileByTheTextRules) {
  ScratchDir dir;
  WatchedPlatform os;
  for (const SplitCase& c : kSplitCases) {
    EXPECT_EQ(ReadAll(os, dir.Write("message.txt", c.input)), c.lines)
        << c.name;
  }
}

TEST(MessageReader, ReadsAMebibyteLineWholeThroughWholeBlocks) {
  ScratchDir dir;
  WatchedPlatform os;
  const std::string long_line(1024 * 1024, 'x');
  const std::string path =
      dir.Write("message.txt",
                "first\r\n" + long_line + "\r\n" + long_line + "y\r\nlast");
  const Lines lines = ReadAll(os, path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "first");
  EXPECT_EQ(lines[1], long_line);
  EXPECT_EQ(lines[2], long_line + "y");
  EXPECT_EQ(lines[3], "last");
  // Whole blocks are asked for, never single bytes: 2 MiB and a little
  // take the first block, 7 full long blocks, the part of one, and the
  // read that finds the end.
  std::vector<size_t> sizes(10, MessageReader::kLongBlockSize);
  sizes[0] = MessageReader::kBlockSize;
  EXPECT_EQ(os.read_sizes, sizes);
  EXPECT_EQ(os.closes, 1);
}

TEST(MessageReader, StopsReadingAtCtrlZOnALineStart) {
  ScratchDir dir;
  WatchedPlatform os;
  const std::string path =
      dir.Write("message.txt",
                "ab\n\x1a" + std::string(3 * MessageReader::kBlockSize, 'z'));
  EXPECT_EQ(ReadAll(os, path), Lines{"ab"});
  EXPECT_EQ(os.read_sizes.size(), 1u);
}

TEST(MessageReader, AFailedReadRaisesWithItsCode) {
  ScratchDir dir;
  WatchedPlatform os;
  const std::string path = dir.Write(
      "message.txt", "ab\n" + std::string(MessageReader::kBlockSize, 'z'));
  os.read_error = kErrorAccessDenied;
  os.reads_before_error = 1;
  std::unique_ptr<File> file;
  ASSERT_EQ(os.Open(path, FileUse::kMessage, &file), 0u);
  Lines lines;
  try {
    MessageReader reader(std::move(file), path);
    std::string_view line;
    while (reader.ReadLine(&line)) lines.emplace_back(line);
    ADD_FAILURE() << "no failure raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.code(), kErrorAccessDenied);
    EXPECT_EQ(error.operation(), InOutOperation::kMessageRead);
    EXPECT_EQ(error.path(), path);
  }
  EXPECT_EQ(lines, Lines{"ab"});
  // The file was let go of when the reader was dropped.
  EXPECT_EQ(os.closes, 1);
}

TEST(MessageReader, AFailedCloseRaisesWithItsCode) {
  ScratchDir dir;
  WatchedPlatform os;
  const std::string path = dir.Write("message.txt", "ab\n");
  os.close_error = 1234;
  std::unique_ptr<File> file;
  ASSERT_EQ(os.Open(path, FileUse::kMessage, &file), 0u);
  MessageReader reader(std::move(file), path);
  std::string_view line;
  while (reader.ReadLine(&line)) {
  }
  try {
    reader.Close();
    ADD_FAILURE() << "no failure raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.code(), 1234u);
    EXPECT_EQ(error.operation(), InOutOperation::kMessageClose);
    EXPECT_EQ(error.path(), path);
  }
  EXPECT_EQ(os.closes, 1);
}

// A first block of whole lines of 64 bytes, after which the reader reads
// on in long blocks.
std::string FirstBlock() {
  std::string block;
  while (block.size() < MessageReader::kBlockSize) {
    block += std::string(63, 'f') + "\n";
  }
  return block;
}

// Each case after a first block, read on in blocks of a page, of a
// length that keeps no block on a page boundary, and of the reader's own
// long length: the cases' lines cross the ends of the blocks.
TEST(MessageReader, ReadsOnInLongBlocksByTheTextRules) {
  ScratchDir dir;
  WatchedPlatform os;
  const std::string first = FirstBlock();
  for (const size_t long_block :
       {size_t{4096}, size_t{100}, MessageReader::kLongBlockSize}) {
    os.short_reads = long_block;
    for (const SplitCase& c : kSplitCases) {
      const std::string input = first + c.input;
      EXPECT_EQ(ReadAll(os, dir.Write("message.txt", input)),
                ReferenceLines(input))
          << c.name << ", long blocks of " << long_block;
    }
  }
}

// Mail-like text with every irregular byte, long lines and Ctrl-Z inside
// lines (only after a letter, so that the text does not end early), so
// that lines cross the first block's end and the long blocks'.
TEST(MessageReader, LongBlocksAgreeWithTheByteByByteRules) {
  ScratchDir dir;
  WatchedPlatform os;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    const std::string input =
        RandomText(seed, 600 * 1024, 9000, CtrlZ::kInsideLines);
    const std::string path = dir.Write("message.txt", input);
    const Lines expected = ReferenceLines(input);
    ASSERT_GT(expected.size(), 10000u) << seed;
    for (const size_t long_block : {size_t{4096}, size_t{64 * 1024 + 1}}) {
      os.short_reads = long_block;
      EXPECT_TRUE(ReadAll(os, path) == expected)
          << "seed " << seed << ", long blocks of " << long_block;
    }
  }
}

#ifndef _WIN32
// Past its first block a long message is viewed where the system keeps it,
// in views of kViewSize: lines that cross a view's end, long lines and
// every irregular byte come out as by the byte-by-byte rules, and no byte
// is read by a read after the first block.
TEST(MessageReader, ViewsAgreeWithTheByteByByteRules) {
  ScratchDir dir;
  WatchedPlatform os;
  os.views = true;
  constexpr size_t kFirstViewEnd =
      MessageReader::kBlockSize + MessageReader::kViewSize;
  const std::string input =
      RandomText(3, kFirstViewEnd + 300 * 1024, 9000, CtrlZ::kInsideLines);
  // A line crosses the first view's end.
  ASSERT_NE(input[kFirstViewEnd - 1], '\n');
  const std::string path = dir.Write("message.txt", input);
  EXPECT_TRUE(ReadAll(os, path) == ReferenceLines(input));
  EXPECT_EQ(os.read_sizes, std::vector<size_t>{MessageReader::kBlockSize});
  EXPECT_EQ(os.view_offsets,
            (std::vector<uint64_t>{MessageReader::kBlockSize, kFirstViewEnd,
                                   input.size()}));
  EXPECT_EQ(os.closes, 1);
}

// Lines of 64 bytes that each start with a wanted byte, as many as fill
// size bytes.
std::string NumberedLines(size_t size) {
  std::string text;
  for (size_t i = 0; text.size() < size; ++i) {
    const std::string number = std::to_string(i);
    text += "A" + std::string(62 - number.size(), '0') + number + "\n";
  }
  return text;
}

// Another program cuts the file short, in the middle of a line, while the
// reader reads on past the first block. Read in blocks, the file ends where
// it ends now, with the lines of what is left, and no read fails. Viewed,
// with whole pages of the view past the new end, the process lives on, the
// lines before the cut come out, no line is made of what is no longer
// there, and the reader raises the failed read when it lets the view go.
TEST(MessageReader, AFileCutShortWhileReadOnEndsThereOrFailsItsView) {
  constexpr size_t kLong = 64 * 1024;
  constexpr size_t kBlockLines = MessageReader::kBlockSize / 64;
  const std::string text =
      NumberedLines(MessageReader::kBlockSize + (size_t{4} << 20));
  for (const bool views : {false, true}) {
    ScratchDir dir;
    const std::string path = dir.Write("message.txt", text);
    // Read: behind the first long block. Viewed: inside the first view.
    const size_t cut =
        MessageReader::kBlockSize + (views ? 5000 * 64 : kLong) + 10;
    WatchedPlatform os;
    os.short_reads = kLong;
    os.views = views;
    std::unique_ptr<File> file;
    ASSERT_EQ(os.Open(path, FileUse::kMessage, &file), 0u);
    Lines lines;
    try {
      MessageReader reader(std::move(file), path);
      std::string_view line;
      // The first line past the first block: its block or view is made.
      while (lines.size() <= kBlockLines && reader.ReadLine(&line)) {
        lines.emplace_back(line);
      }
      ASSERT_EQ(lines.size(), kBlockLines + 1);
      ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
      while (reader.ReadLine(&line)) lines.emplace_back(line);
      reader.Close();
      EXPECT_FALSE(views) << "no failure raised";
    } catch (const EInOutError& error) {
      EXPECT_TRUE(views) << error.code();
      EXPECT_EQ(error.code(), kErrorReadBeyondEnd);
      EXPECT_EQ(error.operation(), InOutOperation::kMessageRead);
    }
    Lines expected = ReferenceLines(text.substr(0, cut));
    // Viewed, the line the cut went through does not come out.
    if (views) expected.pop_back();
    EXPECT_TRUE(lines == expected) << lines.size() << " lines, views " << views;
    EXPECT_EQ(os.closes, 1) << views;
  }
}
#endif

}  // namespace
}  // namespace stashwell
