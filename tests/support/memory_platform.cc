#include "support/memory_platform.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/copy_protocol.h"
#include "platform/path_syntax.h"
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
        changes_(stored.changes),
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
    ++*changes_;
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
    proof.change_time = *changes_;
    return proof;
  }
  uint32_t Flush() override { return closed_ ? kErrorInvalidHandle : 0; }
  bool RemoveName(const std::string& path) override {
    if (use_ != FileUse::kLog || owner_.IdentityOf(path) != Identity()) {
      return false;
    }
    owner_.files_.erase(owner_.Resolve(path));
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
  std::shared_ptr<int64_t> changes_;
  uint64_t index_;
  FileUse use_;
  size_t position_ = 0;
  bool closed_ = false;
};

// The primitives of one copy into a memory folder. A named staged file
// lives in the program's own folder of the destination under a temporary
// name, as on a disk; an unnamed one is bytes that no name holds yet.
class MemoryPlatform::MemoryCopy : public CopyPrimitives {
 public:
  MemoryCopy(MemoryPlatform& owner, const std::string& folder)
      : owner_(owner), folder_(owner.Resolve(folder)) {}
  ~MemoryCopy() override { EndStaging(); }
  MemoryCopy(const MemoryCopy&) = delete;
  MemoryCopy& operator=(const MemoryCopy&) = delete;

  uint32_t OpenSource(const std::string& source, FileProof* read) override {
    const std::string from = owner_.Resolve(source);
    if (owner_.directories_.count(from) != 0) return kErrorAccessDenied;
    auto it = owner_.files_.find(from);
    if (it == owner_.files_.end()) return kErrorFileNotFound;
    source_ = it->second;
    *read = ProofOf(source_);
    return 0;
  }
  std::optional<FileProof> SourceProof() override { return ProofOf(source_); }
  bool IsTaken(const std::string& name) override {
    const std::string to = PathOf(name);
    return owner_.files_.count(to) != 0 || owner_.directories_.count(to) != 0;
  }
  // Every temporary file of another number than this run's is a dead
  // run's: the memory platform runs one program at a time.
  void RemoveLeftovers() override {
    for (const char* own_name : kOwnFolders) {
      const std::string own = PathOf(own_name);
      if (owner_.directories_.count(own) == 0) continue;
      std::erase_if(owner_.files_, [&](const auto& entry) {
        const std::string& path = entry.first;
        if (Parent(path) != own) return false;
        const std::optional<uint64_t> process =
            TemporaryNameProcess(path.substr(own.size() + 1));
        return process && *process != kProcess;
      });
      RemoveFolderIfEmpty(own);
    }
  }

  std::optional<uint32_t> StageUnnamed() override {
    if (owner_.directories_.count(folder_) == 0) return kErrorPathNotFound;
    Begin(true);
    return 0;
  }
  uint32_t StageNamed() override {
    if (owner_.directories_.count(folder_) == 0) return kErrorPathNotFound;
    // A file under the own folder's name takes the next of its names.
    for (const char* own_name : kOwnFolders) {
      const std::string own = PathOf(own_name);
      if (owner_.files_.count(own) != 0) continue;
      owner_.directories_.insert(own);
      for (int n = 0;; ++n) {
        const std::string temporary = own + '\\' + TemporaryName(kProcess, n);
        if (owner_.files_.count(temporary) != 0) continue;
        Begin(false);
        own_ = own;
        temporary_ = temporary;
        owner_.files_[temporary_] = staged_;
        return 0;
      }
    }
    return kErrorAccessDenied;
  }
  uint32_t CopyBytes() override {
    *staged_.bytes = *source_.bytes;
    return 0;
  }
  uint32_t KeepMetadata() override {
    staged_.write_time = source_.write_time;
    staged_.attributes = source_.attributes;
    return 0;
  }
  uint32_t SyncStaged() override { return 0; }
  std::optional<uint32_t> PublishByLink(const std::string& name) override {
    return Publish(name);
  }
  std::optional<uint32_t> PublishByRename(const std::string& name) override {
    if (unnamed_) return std::nullopt;
    return Publish(name);
  }

  std::optional<FileProof> StagedProof() override { return ProofOf(staged_); }
  uint32_t CloseStaged() override { return 0; }
  void EndStaging() override {
    if (!staging_) return;
    if (!unnamed_) {
      if (!published_) owner_.files_.erase(temporary_);
      RemoveFolderIfEmpty(own_);
    }
    staging_ = false;
    published_ = false;
  }
  std::optional<FileProof> ProofOfName(const std::string& name) override {
    return owner_.ProofOfPath(PathOf(name));
  }
  void RemoveName(const std::string& name) override {
    owner_.files_.erase(PathOf(name));
  }

 private:
  static FileProof ProofOf(const Stored& stored) { return stored.Proof(); }
  std::string PathOf(const std::string& name) const {
    return Normal(folder_ + '\\' + name);
  }
  void Begin(bool unnamed) {
    staged_ = {std::make_shared<std::string>(), std::make_shared<int64_t>(0), 0,
               owner_.next_index_++};
    staging_ = true;
    unnamed_ = unnamed;
  }
  // A link and a rename alike: the name gets the staged file, and the
  // temporary name goes.
  uint32_t Publish(const std::string& name) {
    if (IsTaken(name)) return kErrorFileExists;
    owner_.files_[PathOf(name)] = staged_;
    if (!unnamed_) owner_.files_.erase(temporary_);
    published_ = true;
    return 0;
  }
  void RemoveFolderIfEmpty(const std::string& own) {
    for (const auto& [path, file] : owner_.files_) {
      if (Parent(path) == own) return;
    }
    for (const std::string& folder : owner_.directories_) {
      if (Parent(folder) == own) return;
    }
    owner_.directories_.erase(own);
  }

  MemoryPlatform& owner_;
  std::string folder_;
  Stored source_;
  Stored staged_;
  bool staging_ = false;
  bool unnamed_ = false;
  bool published_ = false;
  std::string own_;
  std::string temporary_;
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
  std::unique_ptr<CopyPrimitives> StartCopy() override {
    return std::make_unique<MemoryCopy>(owner_, path_);
  }
  std::optional<FileProof> ProofOf(const std::string& name) override {
    return owner_.ProofOfPath(PathOf(name));
  }
  // The names as the map keeps them: in lower case.
  std::vector<std::string> PlainFileNames(std::string_view prefix,
                                          std::string_view suffix) override {
    std::vector<std::string> names;
    for (const auto& [path, file] : owner_.files_) {
      if (Parent(path) != path_) continue;
      const std::string name = path.substr(path_.size() + 1);
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

std::string MemoryPlatform::Normal(const std::string& path,
                                   const std::string& base) {
  // "\\..." and "x:..." name their folder themselves.
  const bool absolute =
      (!path.empty() && (path[0] == '\\' || path[0] == '/')) ||
      (path.size() >= 2 && path[1] == ':');
  return Normal(absolute || base.empty() ? path : base + '\\' + path);
}

std::string MemoryPlatform::Resolve(const std::string& path) const {
  return Normal(path, working_);
}

FileProof MemoryPlatform::Stored::Proof() const {
  FileProof proof;
  proof.id = {0, index};
  proof.size = bytes->size();
  proof.change_time = *changes;
  return proof;
}

void MemoryPlatform::AddDirectory(const std::string& path) {
  if (files_.count(Resolve(path)) == 0) directories_.insert(Resolve(path));
}

void MemoryPlatform::AddFile(const std::string& path, const std::string& bytes,
                             DayCount write_time) {
  Store(Resolve(path), bytes, write_time);
}

void MemoryPlatform::Rewrite(const std::string& path,
                             const std::string& bytes) {
  auto it = files_.find(Resolve(path));
  if (it == files_.end()) return;
  *it->second.bytes = bytes;
  ++*it->second.changes;
}

void MemoryPlatform::SetAttributes(const std::string& path,
                                   uint32_t attributes) {
  auto it = files_.find(Resolve(path));
  if (it != files_.end()) it->second.attributes = attributes;
}

void MemoryPlatform::SetWriteTime(const std::string& path, DayCount time) {
  auto it = files_.find(Resolve(path));
  if (it != files_.end()) it->second.write_time = time;
}

bool MemoryPlatform::Rename(const std::string& from, const std::string& to) {
  const std::string source = Resolve(from);
  const std::string target = Resolve(to);
  auto it = files_.find(source);
  if (it == files_.end() || directories_.count(target) != 0 ||
      directories_.count(Parent(target)) == 0) {
    return false;
  }
  if (source == target) return true;
  Stored moved = it->second;
  files_.erase(it);
  files_[target] = std::move(moved);
  return true;
}

bool MemoryPlatform::HasDirectory(const std::string& path) const {
  return directories_.count(Resolve(path)) != 0;
}

std::map<std::string, bool> MemoryPlatform::Entries(
    const std::string& folder) const {
  const std::string parent = Resolve(folder);
  std::map<std::string, bool> entries;
  for (const auto& [path, file] : files_) {
    if (Parent(path) == parent) entries[path.substr(parent.size() + 1)] = false;
  }
  for (const std::string& path : directories_) {
    if (Parent(path) == parent) entries[path.substr(parent.size() + 1)] = true;
  }
  return entries;
}

void MemoryPlatform::SetCommandLine(const std::string& text) {
  command_line_.is_text = true;
  command_line_.text = text;
}

bool MemoryPlatform::HasFile(const std::string& path) const {
  return files_.count(Resolve(path)) != 0;
}

std::string MemoryPlatform::FileBytes(const std::string& path) const {
  auto it = files_.find(Resolve(path));
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
  stored = {std::make_shared<std::string>(std::move(bytes)),
            std::make_shared<int64_t>(0), write_time, next_index_++};
  return stored;
}

bool MemoryPlatform::IsOpen(const std::string& normal, FileUse use) const {
  for (const MemoryFile* open : open_) {
    if (open->normal() == normal && open->use() == use) return true;
  }
  return false;
}

PathKind MemoryPlatform::Examine(const std::string& path, uint32_t*) {
  if (directories_.count(Resolve(path)) != 0) return PathKind::kFolder;
  // A search does not find names with wildcards (a long-path prefix is
  // none), nor paths of 260 characters or more; device names name no file.
  if (path.size() >= 260 || HasWildcard(path) ||
      NamesNoDiskFile(path, syntax_)) {
    return PathKind::kMissing;
  }
  return files_.count(Resolve(path)) != 0 ? PathKind::kFile
                                          : PathKind::kMissing;
}

std::optional<FileId> MemoryPlatform::IdentityOf(const std::string& path) {
  auto it = files_.find(Resolve(path));
  if (it == files_.end()) return std::nullopt;
  return FileId{0, it->second.index};
}

bool MemoryPlatform::RemoveFile(const std::string& path) {
  const std::string normal = Resolve(path);
  auto it = files_.find(normal);
  if (it == files_.end() || (it->second.attributes & kAttrReadOnly) != 0) {
    return false;
  }
  if (IsOpen(normal, FileUse::kLog) || IsOpen(normal, FileUse::kMessage)) {
    return false;
  }
  files_.erase(normal);
  return true;
}

std::optional<FileProof> MemoryPlatform::ProofOfPath(
    const std::string& path) const {
  auto it = files_.find(Resolve(path));
  if (it == files_.end()) return std::nullopt;
  return it->second.Proof();
}

Removal MemoryPlatform::RemoveProvenFile(const std::string& path,
                                         const FileProof& proof) {
  if (ProofOfPath(path) != proof) return Removal::kNotProven;
  return RemoveFile(path) ? Removal::kRemoved : Removal::kRefused;
}

uint32_t MemoryPlatform::OpenFolder(const std::string& path,
                                    std::unique_ptr<Folder>* folder) {
  const std::string normal = Resolve(path);
  if (directories_.count(normal) == 0) return kErrorPathNotFound;
  // What dead runs left goes at the first use, as on a disk.
  MemoryCopy(*this, normal).RemoveLeftovers();
  *folder = std::make_unique<MemoryFolder>(*this, normal);
  return 0;
}

std::vector<SearchEntry> MemoryPlatform::FindMatching(const std::string& mask,
                                                      uint32_t attributes) {
  std::vector<SearchEntry> entries;
  const size_t cut = mask.find_last_of("\\/");
  const std::string folder =
      Resolve(cut == std::string::npos ? std::string() : mask.substr(0, cut));
  const std::string pattern =
      cut == std::string::npos ? mask : mask.substr(cut + 1);
  for (const auto& [path, file] : files_) {
    if (Parent(path) != folder) continue;
    const std::string name =
        path.substr(folder.empty() ? 0 : folder.size() + 1);
    if (!Matches(pattern.c_str(), name.c_str())) continue;
    constexpr uint32_t kSkippable = kAttrHidden | kAttrSystem;
    if ((file.attributes & kSkippable & ~attributes) != 0) continue;
    SearchEntry entry;
    entry.name = name;
    entry.attributes = file.attributes;
    entry.last_write = DecodeDayCount(file.write_time);
    entries.push_back(entry);
  }
  return entries;
}

uint32_t MemoryPlatform::Open(const std::string& path, FileUse use,
                              std::unique_ptr<File>* file) {
  const std::string normal = Resolve(path);
  if (directories_.count(normal) != 0) return kErrorAccessDenied;
  if (use == FileUse::kLog) {
    if (directories_.count(Parent(normal)) == 0) return kErrorPathNotFound;
    if (IsOpen(normal, FileUse::kLog) || IsOpen(normal, FileUse::kMessage)) {
      return kErrorSharingViolation;
    }
    auto it = files_.find(normal);
    if (it != files_.end() && (it->second.attributes & kAttrReadOnly) != 0) {
      return kErrorAccessDenied;
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
