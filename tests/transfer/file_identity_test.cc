// Whether two files are identical, on real files: the order of the tests,
// what is opened and read, and the block-by-block comparison.
#include "transfer/file_identity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "run/in_out_error.h"
#include "support/scratch_dir.h"
#include "support/test_helpers.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {

// Records the calls the comparison makes, and breaks one on request.
class RecordingPlatform : public TestPlatform {
 public:
  PathKind Examine(const std::string& path, uint32_t* code) override {
    calls.push_back("exists " + Name(path));
    return TestPlatform::Examine(path, code);
  }
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    calls.push_back("open " + Name(path));
    if (open_error != 0) return open_error;
    return TestPlatform::Open(path, use, file);
  }
  uint32_t FileSize(WrappedFile& file, uint64_t* size) override {
    calls.push_back("size " + Name(file.path()));
    const uint32_t code = TestPlatform::FileSize(file, size);
    if (Name(file.path()) == big_name) *size += uint64_t{1} << 32;
    return code;
  }
  uint32_t FileRead(WrappedFile& file, void* buffer, size_t size,
                    size_t* count) override {
    calls.push_back("read " + Name(file.path()) + " " + std::to_string(size));
    ++reads;
    if (read_error != 0 && reads == failing_read) return read_error;
    const uint32_t code = TestPlatform::FileRead(file, buffer, size, count);
    if (Name(file.path()) == short_name && *count > 0) --*count;
    return code;
  }
  uint32_t FileClose(WrappedFile& file) override {
    calls.push_back("close " + Name(file.path()));
    ++closes;
    return TestPlatform::FileClose(file);
  }

  // The reads only, "read <name> <size asked>".
  std::vector<std::string> Reads() const {
    std::vector<std::string> reads_only;
    for (const std::string& call : calls) {
      if (call.rfind("read ", 0) == 0) reads_only.push_back(call);
    }
    return reads_only;
  }
  size_t Opens() const {
    size_t opens = 0;
    for (const std::string& call : calls) opens += call.rfind("open ", 0) == 0;
    return opens;
  }

  std::vector<std::string> calls;
  uint32_t open_error = 0;
  uint32_t read_error = 0;
  int failing_read = 0;
  int reads = 0;
  size_t closes = 0;
  std::string big_name;    // its size is reported 4 GiB larger
  std::string short_name;  // each of its reads delivers one byte fewer

 private:
  static std::string Name(const std::string& path) {
    return path.substr(path.find_last_of(kSeparator) + 1);
  }
};

class FileIdentityTest : public ::testing::Test {
 protected:
  bool Identical(const std::string& first, const std::string& second) {
    ComparedFiles proofs;
    return CompareFiles(os_, dir_.Path(first), dir_.Path(second), &proofs,
                        KnownFiles::kNone) == Comparison::kIdentical;
  }
  // The comparison of two paths the caller has just found to be files,
  // with the calls it made.
  Comparison CompareKnown(const std::string& first, const std::string& second) {
    os_.calls.clear();
    ComparedFiles proofs;
    return CompareFiles(os_, dir_.Path(first), dir_.Path(second), &proofs,
                        KnownFiles::kBothFiles);
  }

  ScratchDir dir_;
  RecordingPlatform os_;
};

TEST_F(FileIdentityTest, MissingFirstFileAsksNothingAboutTheSecond) {
  dir_.Write("b", "x");
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_EQ(os_.calls, std::vector<std::string>({"exists a"}));
}

TEST_F(FileIdentityTest, MissingSecondFileOpensNothing) {
  dir_.Write("a", "x");
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_EQ(os_.calls, std::vector<std::string>({"exists a", "exists b"}));
  // Gone since the caller found it: the length open tells.
  EXPECT_EQ(CompareKnown("a", "b"), Comparison::kSecondGone);
  EXPECT_EQ(os_.calls, std::vector<std::string>(
                           {"open a", "size a", "close a", "open b"}));
  EXPECT_EQ(CompareKnown("b", "a"), Comparison::kFirstGone);
  EXPECT_EQ(os_.calls, std::vector<std::string>({"open b"}));
}

TEST_F(FileIdentityTest, AFolderIsNoFile) {
  dir_.Write("a", "x");
  dir_.MakeDir("b");
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_EQ(os_.Opens(), 0u);
}

TEST_F(FileIdentityTest, DifferentLengthsReadNoContent) {
  dir_.Write("a", "abc");
  dir_.Write("b", "abcd");
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_EQ(os_.calls, std::vector<std::string>(
                           {"exists a", "exists b", "open a", "size a",
                            "close a", "open b", "size b", "close b"}));
  // Known to be files: no existence test, the same opens.
  EXPECT_EQ(CompareKnown("a", "b"), Comparison::kDifferent);
  EXPECT_EQ(os_.calls,
            std::vector<std::string>({"open a", "size a", "close a", "open b",
                                      "size b", "close b"}));
}

TEST_F(FileIdentityTest, EmptyFilesAreIdenticalAfterOnePass) {
  dir_.Write("a", "");
  dir_.Write("b", "");
  EXPECT_TRUE(Identical("a", "b"));
  // The comparison opens the second file first and closes it last.
  EXPECT_EQ(os_.calls,
            std::vector<std::string>(
                {"exists a", "exists b", "open a", "size a", "close a",
                 "open b", "size b", "close b", "open b", "open a",
                 "read a 16384", "read b 0", "close a", "close b"}));
}

TEST_F(FileIdentityTest, ReadsGoBlockByBlockUntilBothDeliverNothing) {
  const struct {
    size_t size;
    std::vector<std::string> reads;
  } cases[] = {
      {16384, {"read a 16384", "read b 16384", "read a 16384", "read b 0"}},
      {20000,
       {"read a 16384", "read b 16384", "read a 16384", "read b 3616",
        "read a 16384", "read b 0"}},
      {1, {"read a 16384", "read b 1", "read a 16384", "read b 0"}},
  };
  for (const auto& c : cases) {
    const std::string bytes = PatternBytes(c.size);
    dir_.Write("a", bytes);
    dir_.Write("b", bytes);
    os_.calls.clear();
    EXPECT_TRUE(Identical("a", "b")) << c.size;
    EXPECT_EQ(os_.Reads(), c.reads) << c.size;
  }
}

TEST_F(FileIdentityTest, EqualFilesOfSeveralBlocksAreIdentical) {
  const std::string bytes = PatternBytes(5 * 16384 + 123);
  dir_.Write("a", bytes);
  dir_.Write("b", bytes);
  EXPECT_TRUE(Identical("a", "b"));
  EXPECT_EQ(os_.Reads().size(), 14u);
  EXPECT_EQ(os_.closes, 4u);
}

TEST_F(FileIdentityTest, ADifferenceInTheLastByteIsFoundInTheSecondPass) {
  std::string bytes = PatternBytes(16385);
  dir_.Write("a", bytes);
  bytes.back() ^= 1;
  dir_.Write("b", bytes);
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_EQ(os_.Reads(),
            std::vector<std::string>(
                {"read a 16384", "read b 16384", "read a 16384", "read b 1"}));
  EXPECT_EQ(os_.closes, 4u);
}

TEST_F(FileIdentityTest, TheFirstDifferenceStopsTheComparison) {
  std::string bytes = PatternBytes(10 * 16384);
  dir_.Write("a", bytes);
  bytes[100] ^= 0x80;
  dir_.Write("b", bytes);
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_EQ(os_.Reads(),
            std::vector<std::string>({"read a 16384", "read b 16384"}));
}

TEST_F(FileIdentityTest, TheSameFileGivenTwiceIsIdentical) {
  dir_.Write("a", PatternBytes(40000));
  EXPECT_TRUE(Identical("a", "a"));
}

TEST_F(FileIdentityTest, AReadOnlyFileIsComparedWithoutFailing) {
  const std::string bytes = PatternBytes(30000);
  dir_.Write("a", bytes);
  const std::string b = dir_.Write("b", bytes);
  namespace fs = std::filesystem;
  fs::permissions(
      b,
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
  EXPECT_TRUE(Identical("a", "b"));
  EXPECT_TRUE(Identical("b", "a"));
}

TEST_F(FileIdentityTest, APathEndingInADotIsComparedByContent) {
  // On Windows "x." names the file x; elsewhere it is a name of its own.
  // Either way the answer comes from the bytes, not from the dot.
  dir_.Write("x.", "abc");
  dir_.Write("y", "abd");
  EXPECT_FALSE(Identical("x.", "y"));
  dir_.Write("y", "abc");
  EXPECT_TRUE(Identical("x.", "y"));
}

TEST_F(FileIdentityTest, LengthsBeyond4GiBAreNotCutTo32Bits) {
  dir_.Write("a", "abc");
  dir_.Write("b", "abc");
  os_.big_name = "a";
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_TRUE(os_.Reads().empty());
}

TEST_F(FileIdentityTest, AShorterSecondReadMeansDifferent) {
  // The second file delivers one byte fewer per read than asked, as when
  // it shrinks under the comparison; the bytes that were read agree.
  const std::string bytes = PatternBytes(100);
  dir_.Write("a", bytes);
  dir_.Write("b", bytes);
  os_.short_name = "b";
  EXPECT_FALSE(Identical("a", "b"));
  EXPECT_EQ(os_.Reads(),
            std::vector<std::string>({"read a 16384", "read b 100"}));
  EXPECT_EQ(os_.closes, 4u);
}

TEST_F(FileIdentityTest, AFailedReadEndsTheComparisonWithItsCode) {
  const std::string bytes = PatternBytes(40000);
  dir_.Write("a", bytes);
  dir_.Write("b", bytes);
  os_.read_error = kErrorSharingViolation;
  os_.failing_read = 4;
  // The second pass's read of the second file.
  EXPECT_TRUE(
      RaisesInOutError([&] { Identical("a", "b"); }, kErrorSharingViolation,
                       InOutOperation::kComparisonRead, dir_.Path("b")));
  EXPECT_EQ(os_.Reads().size(), 4u);
  EXPECT_EQ(os_.closes, 4u);  // nothing left open
}

TEST_F(FileIdentityTest, AFailedOpenEndsTheComparisonWithItsCode) {
  dir_.Write("a", "abc");
  dir_.Write("b", "abc");
  os_.open_error = kErrorAccessDenied;
  // The first open is the first file's, for its length.
  EXPECT_TRUE(RaisesInOutError([&] { Identical("a", "b"); }, kErrorAccessDenied,
                               InOutOperation::kComparisonOpen,
                               dir_.Path("a")));
  EXPECT_EQ(os_.Opens(), 1u);
}

TEST_F(FileIdentityTest, AFailedCloseEndsTheComparisonWithItsCode) {
  dir_.Write("a", "abc");
  dir_.Write("b", "abc");
  os_.close_error = kErrorInvalidHandle;
  // The first close, of the first file's length query, fails.
  EXPECT_THROW(Identical("a", "b"), EInOutError);
  EXPECT_EQ(os_.Opens(), 1u);
}

}  // namespace
}  // namespace stashwell
