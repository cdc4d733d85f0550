#include "platform/posix/posix_search.h"

#include <dirent.h>
#include <sys/stat.h>

#include <optional>
#include <string_view>
#include <utility>

#include "platform/date_time.h"
#include "platform/name_mask.h"
#include "platform/posix/posix_time.h"

namespace stashwell {
namespace {

// Win32 attribute bits of an entry. Symbolic links are judged by what they
// point to; a link that points nowhere is neither a file nor a folder.
uint32_t AttributesOf(const std::string& name, const struct stat& st) {
  uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) {
    attributes |= kAttrDirectory;
  } else if (S_ISREG(st.st_mode)) {
    attributes |= kAttrArchive;
  } else {
    attributes |= kAttrSystem;
  }
  if (!S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
    attributes |= kAttrReadOnly;
  }
  if (!name.empty() && name[0] == '.') attributes |= kAttrHidden;
  return attributes;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

const std::vector<std::string>* FolderNames::Get(const std::string& folder) {
  struct stat now;
  if (stat(folder.c_str(), &now) != 0) {
    valid_ = false;
    return nullptr;
  }
  if (valid_ && folder == folder_ && now.st_dev == seen_.st_dev &&
      now.st_ino == seen_.st_ino && SameTime(now.st_mtim, seen_.st_mtim) &&
      SameTime(now.st_ctim, seen_.st_ctim)) {
    return &names_;
  }
  valid_ = false;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return nullptr;
  names_.clear();
  while (const dirent* item = readdir(dir)) {
    const std::string_view name = item->d_name;
    if (name == "." || name == "..") continue;
    names_.emplace_back(name);
  }
  closedir(dir);
  folder_ = folder;
  seen_ = now;
  valid_ = true;
  return &names_;
}

std::vector<SearchEntry> FindMatchingEntries(const std::string& mask,
                                             uint32_t attributes,
                                             FolderNames& folders) {
  const size_t slash = mask.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? std::string("/")
                                                        : mask.substr(0, slash);
  const std::string pattern =
      slash == std::string::npos ? mask : mask.substr(slash + 1);
  const std::string prefix =
      slash == std::string::npos ? std::string() : mask.substr(0, slash + 1);

  std::vector<SearchEntry> entries;
  const std::vector<std::string>* names = folders.Get(folder);
  if (names == nullptr) return entries;
  constexpr uint32_t kSkippable =
      kAttrHidden | kAttrSystem | kAttrVolume | kAttrDirectory;
  for (const std::string& name : *names) {
    if (!MatchesMask(name, pattern)) continue;
    const std::string path = prefix + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && lstat(path.c_str(), &st) != 0) {
      continue;  // gone since the folder was listed
    }
    SearchEntry entry;
    entry.name = name;
    entry.attributes = AttributesOf(name, st);
    if ((entry.attributes & kSkippable & ~attributes) != 0) continue;
    entry.size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));
    const DateTimeFields local = LocalFields(ModificationTime(st));
    const std::optional<uint32_t> packed = PackDosTime(local);
    entry.time_packable = packed.has_value();
    entry.packed_time = packed.value_or(0);
    entry.write_time = EncodeDayCount(local);
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace stashwell
