// Fuzz target: the message file reader. The input's first byte chooses a
// block size and a read limit; the rest is the file. The lines of the
// LineSplitter fed in those blocks, and of the MessageReader over a memory
// platform whose reads deliver at most the limit, must both equal a plain
// model of the text rules; a reader that passes over lines by the scan's
// prefixes must keep every line that starts with one of them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "scan/message_reader.h"
#include "support/memory_platform.h"

namespace {

// Lines end at LF; every CR is dropped; the last line needs no end; a
// Ctrl-Z as a line's first byte ends the text, and inside a line ends that
// line's text, the rest up to the LF passed over.
std::vector<std::string> ModelLines(std::string_view bytes) {
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] == '\x1a') break;
    std::string line;
    bool cut = false;
    for (; i < bytes.size() && bytes[i] != '\n'; ++i) {
      if (bytes[i] == '\x1a') cut = true;
      if (!cut && bytes[i] != '\r') line += bytes[i];
    }
    if (i < bytes.size()) ++i;  // the LF
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t block = 1 + data[0] % 37;
  const size_t limit = data[0] / 37;  // 0: no limit
  const std::string_view file(reinterpret_cast<const char*>(data) + 1,
                              size - 1);
  const std::vector<std::string> expected = ModelLines(file);

  std::vector<std::string> split;
  stashwell::LineSplitter splitter;
  size_t offset = 0;
  for (;;) {
    std::string_view line;
    const auto result = splitter.Next(&line);
    if (result == stashwell::LineSplitter::Result::kLine) {
      split.emplace_back(line);
    } else if (result == stashwell::LineSplitter::Result::kNeedMore) {
      const size_t n = std::min(block, file.size() - offset);
      splitter.Feed(file.substr(offset, n));
      offset += n;
    } else {
      break;
    }
  }
  if (split != expected) std::abort();

  stashwell::MemoryPlatform os;
  os.AddFile("C:\\msg.txt", std::string(file));
  os.SetReadLimit(limit);
  std::unique_ptr<stashwell::File> file_object;
  if (os.Open("C:\\msg.txt", stashwell::FileUse::kMessage, &file_object) != 0) {
    std::abort();
  }
  std::vector<std::string> read;
  {
    stashwell::MessageReader reader(std::move(file_object), "C:\\msg.txt");
    std::string_view line;
    while (reader.ReadLine(&line)) read.emplace_back(line);
    reader.Close();
  }
  if (read != expected) std::abort();

  // Passing over lines by the scan's prefixes keeps every line that starts
  // with one of them.
  constexpr std::string_view kPrefixes[] = {
      "From: ", "To: ", "Subject: ", "Attachment Converted: "};
  const auto with_prefix = [&](const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
      for (const std::string_view prefix : kPrefixes) {
        if (line.starts_with(prefix)) kept.push_back(line);
      }
    }
    return kept;
  };
  if (os.Open("C:\\msg.txt", stashwell::FileUse::kMessage, &file_object) != 0) {
    std::abort();
  }
  std::vector<std::string> passed;
  {
    stashwell::MessageReader reader(std::move(file_object), "C:\\msg.txt");
    reader.PassOverLinesWithoutPrefix(
        {kPrefixes[0], kPrefixes[1], kPrefixes[2], kPrefixes[3]});
    std::string_view line;
    while (reader.ReadLine(&line)) passed.emplace_back(line);
    reader.Close();
  }
  if (with_prefix(passed) != with_prefix(expected)) std::abort();
  return 0;
}
