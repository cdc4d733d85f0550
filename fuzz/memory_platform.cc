#include "fuzz/memory_platform.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/windows_names.h"

namespace stashwell {
namespace {

// "*" any run, "?" one character, letters without regard to case.
bool Matches(const char* mask, const char* name) {
  if (*mask == 0) return *name == 0;
  if (*mask == '*') {
    for (const char* rest = name;; ++rest) {
      if (Matches(mask + 1, rest)) return true;
      if (*rest == 0) return false;
    }
  }
  if (*name == 0) return false;
  if (*mask != '?' && AsciiLower(*mask) != AsciiLower(*name)) return false;
  return Matches(mask + 1, name + 1);
}

}  // namespace

// An open file of the memory platform. Reads and writes go to the stored
// bytes, shared with the map, as a real file's go to the disk.
class MemoryPlatform::MemoryFile : public File {
 public:
  MemoryFile(MemoryPlatform& owner, std::string normal, Stored& stored,
             FileUse use)
      : owner_(owner),
        normal_(std::move(normal)),
        bytes_(stored.bytes),
        index_(stored.index),
        use_(use) {
    owner_.open_.insert(this);
  }
  ~MemoryFile() override { owner_.open_.erase(this); }

  uint32_t Read(void* buffer, size_t size, size_t* count) override {
    if (closed_ || use_ == FileUse::kLog) return kErrorInvalidHandle;
    size_t n =
        std::min(size, bytes_->size() - std::min(position_, bytes_->size()));
    if (owner_.read_limit_ != 0) n = std::min(n, owner_.read_limit_);
    if (n != 0) std::memcpy(buffer, bytes_->data() + position_, n);
    position_ += n;
    *count = n;
    return 0;
  }
  uint32_t Write(const void* data, size_t size) override {
    if (closed_ || use_ != FileUse::kLog) return kErrorInvalidHandle;
    bytes_->append(static_cast<const char*>(data), size);
    return 0;
  }
  uint32_t Size(uint64_t* size) override {
    if (closed_) return kErrorInvalidHandle;
    *size = bytes_->size();
    return 0;
  }
  std::optional<FileId> Identity() override { return FileId{0, index_}; }
  std::optional<FileProof> Proof() override {
    FileProof proof;
    proof.id = {0, index_};
    proof.size = bytes_->size();
    return proof;
  }
  uint32_t Flush() override { return closed_ ? kErrorInvalidHandle : 0; }
  bool RemoveName(const std::string& path) override {
    if (use_ != FileUse::kLog || owner_.IdentityOf(path) != Identity()) {
      return false;
    }
    owner_.files_.erase(Normal(path));
    return true;
  }
  uint32_t Close() override {
    if (closed_) return kErrorInvalidHandle;
    closed_ = true;
    owner_.open_.erase(this);
    return 0;
  }

  const std::string& normal() const { return normal_; }
  FileUse use() const { return use_; }

 private:
  MemoryPlatform& owner_;
  std::string normal_;
  std::shared_ptr<std::string> bytes_;
  uint64_t index_;
  FileUse use_;
  size_t position_ = 0;
  bool closed_ = false;
};

// A folder of the memory platform: its path, to which each name is joined.
// Memory files are plain files, and every change is final at once.
class MemoryPlatform::MemoryFolder : public Folder {
 public:
  MemoryFolder(MemoryPlatform& owner, std::string path)
      : owner_(owner), path_(std::move(path)) {}

  PathKind Examine(const std::string& name) override {
    return owner_.Examine(PathOf(name));
  }
  uint32_t CopyIn(const std::string& source, const std::string& name,
                  CopyReceipt* receipt) override {
    return owner_.CopyNoReplace(source, PathOf(name), receipt);
  }
  std::optional<FileProof> ProofOf(const std::string& name) override {
    return owner_.ProofOfPath(PathOf(name));
  }
  // The names as the map keeps them: in lower case.
  std::vector<std::string> PlainFileNames(std::string_view prefix,
                                          std::string_view suffix) override {
    std::vector<std::string> names;
    const std::string folder = Normal(path_);
    for (const auto& [path, file] : owner_.files_) {
      if (Parent(path) != folder) continue;
      const std::string name =
          path.substr(folder.empty() ? 0 : folder.size() + 1);
      if (name.size() >= prefix.size() + suffix.size() &&
          name.starts_with(prefix) && name.ends_with(suffix)) {
        names.push_back(name);
      }
    }
    return names;
  }
  uint32_t Flush() override { return 0; }
  // A map answers a lookup as cheaply as a listing entry.
  uint32_t ListingCostInLookups() override {
    return static_cast<uint32_t>(1 + owner_.files_.size() / 10);
  }

 private:
  std::string PathOf(const std::string& name) const {
    return path_ + '\\' + name;
  }

  MemoryPlatform& owner_;
  std::string path_;
};

MemoryPlatform::MemoryPlatform() { directories_.insert("c:"); }

std::string MemoryPlatform::Normal(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (char c : path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      part += AsciiLower(c);
    }
  }
  flush();
  std::string normal;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) normal += '\\';
    normal += parts[i];
  }
  return normal;
}

std::string MemoryPlatform::Parent(const std::string& normal) {
  const size_t cut = normal.rfind('\\');
  return cut == std::string::npos ? std::string() : normal.substr(0, cut);
}

void MemoryPlatform::AddDirectory(const std::string& path) {
  directories_.insert(Normal(path));
}

void MemoryPlatform::AddFile(const std::string& path, const std::string& bytes,
                             DayCount write_time) {
  Store(Normal(path), bytes, write_time);
}

void MemoryPlatform::SetCommandLine(const std::string& text) {
  command_line_.is_text = true;
  command_line_.text = text;
}

bool MemoryPlatform::HasFile(const std::string& path) const {
  return files_.count(Normal(path)) != 0;
}

std::string MemoryPlatform::FileBytes(const std::string& path) const {
  auto it = files_.find(Normal(path));
  return it == files_.end() ? std::string() : *it->second.bytes;
}

std::map<std::string, std::string> MemoryPlatform::Files() const {
  std::map<std::string, std::string> all;
  for (const auto& [path, file] : files_) all[path] = *file.bytes;
  return all;
}

MemoryPlatform::Stored& MemoryPlatform::Store(const std::string& normal,
                                              std::string bytes,
                                              DayCount write_time) {
  Stored& stored = files_[normal];
  stored = {std::make_shared<std::string>(std::move(bytes)), write_time,
            next_index_++};
  return stored;
}

bool MemoryPlatform::IsOpen(const std::string& normal, FileUse use) const {
  for (const MemoryFile* open : open_) {
    if (open->normal() == normal && open->use() == use) return true;
  }
  return false;
}

PathKind MemoryPlatform::Examine(const std::string& path, uint32_t*) {
  if (directories_.count(Normal(path)) != 0) return PathKind::kFolder;
  // A search does not find names with wildcards (a long-path prefix is
  // none), nor paths of 260 characters or more; device names name no file.
  if (path.size() >= 260 || HasWildcard(path) ||
      NamesNoDiskFile(path, syntax_)) {
    return PathKind::kMissing;
  }
  return files_.count(Normal(path)) != 0 ? PathKind::kFile : PathKind::kMissing;
}

std::optional<FileId> MemoryPlatform::IdentityOf(const std::string& path) {
  auto it = files_.find(Normal(path));
  if (it == files_.end()) return std::nullopt;
  return FileId{0, it->second.index};
}

bool MemoryPlatform::RemoveFile(const std::string& path) {
  const std::string normal = Normal(path);
  if (files_.count(normal) == 0) return false;
  if (IsOpen(normal, FileUse::kLog) || IsOpen(normal, FileUse::kMessage)) {
    return false;
  }
  files_.erase(normal);
  return true;
}

std::optional<FileProof> MemoryPlatform::ProofOfPath(
    const std::string& path) const {
  auto it = files_.find(Normal(path));
  if (it == files_.end()) return std::nullopt;
  FileProof proof;
  proof.id = {0, it->second.index};
  proof.size = it->second.bytes->size();
  return proof;
}

Removal MemoryPlatform::RemoveProvenFile(const std::string& path,
                                         const FileProof& proof) {
  if (ProofOfPath(path) != proof) return Removal::kNotProven;
  return RemoveFile(path) ? Removal::kRemoved : Removal::kRefused;
}

uint32_t MemoryPlatform::CopyNoReplace(const std::string& source,
                                       const std::string& destination,
                                       CopyReceipt* receipt) {
  *receipt = {};
  const std::string from = Normal(source);
  const std::string to = Normal(destination);
  if (directories_.count(from) != 0) return kErrorAccessDenied;
  auto it = files_.find(from);
  if (it == files_.end()) return kErrorFileNotFound;
  if (directories_.count(Parent(to)) == 0) return kErrorPathNotFound;
  if (directories_.count(to) != 0) return kErrorAccessDenied;
  if (files_.count(to) != 0) return kErrorFileExists;
  const Stored& from_file = it->second;
  Store(to, *from_file.bytes, from_file.write_time);
  receipt->source = ProofOfPath(source);
  receipt->copy = ProofOfPath(destination);
  return 0;
}

uint32_t MemoryPlatform::OpenFolder(const std::string& path,
                                    std::unique_ptr<Folder>* folder) {
  if (directories_.count(Normal(path)) == 0) return kErrorPathNotFound;
  *folder = std::make_unique<MemoryFolder>(*this, path);
  return 0;
}

std::vector<SearchEntry> MemoryPlatform::FindMatching(const std::string& mask,
                                                      uint32_t attributes) {
  (void)attributes;  // memory files are plain files
  std::vector<SearchEntry> entries;
  const size_t cut = mask.find_last_of("\\/");
  const std::string folder =
      Normal(cut == std::string::npos ? std::string() : mask.substr(0, cut));
  const std::string pattern =
      cut == std::string::npos ? mask : mask.substr(cut + 1);
  for (const auto& [path, file] : files_) {
    if (Parent(path) != folder) continue;
    const std::string name =
        path.substr(folder.empty() ? 0 : folder.size() + 1);
    if (!Matches(pattern.c_str(), name.c_str())) continue;
    SearchEntry entry;
    entry.name = name;
    entry.attributes = kAttrArchive;
    entry.last_write = DecodeDayCount(file.write_time);
    entries.push_back(entry);
  }
  return entries;
}

uint32_t MemoryPlatform::Open(const std::string& path, FileUse use,
                              std::unique_ptr<File>* file) {
  const std::string normal = Normal(path);
  if (directories_.count(normal) != 0) return kErrorAccessDenied;
  if (use == FileUse::kLog) {
    if (directories_.count(Parent(normal)) == 0) return kErrorPathNotFound;
    if (IsOpen(normal, FileUse::kLog) || IsOpen(normal, FileUse::kMessage)) {
      return kErrorSharingViolation;
    }
    *file = std::make_unique<MemoryFile>(*this, normal, Store(normal, "", now_),
                                         use);
    return 0;
  }
  auto it = files_.find(normal);
  if (it == files_.end()) {
    return directories_.count(Parent(normal)) != 0 ? kErrorFileNotFound
                                                   : kErrorPathNotFound;
  }
  // Reading without sharing writes cannot meet an open writer.
  if (use == FileUse::kMessage && IsOpen(normal, FileUse::kLog)) {
    return kErrorSharingViolation;
  }
  *file = std::make_unique<MemoryFile>(*this, normal, it->second, use);
  return 0;
}

}  // namespace stashwell
