#include "fuzz/memory_platform.h"

#include <algorithm>
#include <cstring>

#include "platform/windows_names.h"

namespace stashwell {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

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
  if (*mask != '?' && Lower(*mask) != Lower(*name)) return false;
  return Matches(mask + 1, name + 1);
}

}  // namespace

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
      part += Lower(c);
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
  files_[Normal(path)] = {std::make_shared<std::string>(bytes), write_time};
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

bool MemoryPlatform::IsOpen(const std::string& normal, Mode mode) const {
  for (const auto& [handle, open] : open_) {
    if (open.path == normal && open.mode == mode) return true;
  }
  return false;
}

bool MemoryPlatform::IsExistingFile(const std::string& path) {
  // A search does not find names with wildcards (a long-path prefix is
  // none), nor paths of 260 characters or more; device names name no file.
  if (path.size() >= 260 || HasWildcard(path) ||
      NamesNoDiskFile(path, syntax_)) {
    return false;
  }
  return files_.count(Normal(path)) != 0;
}

bool MemoryPlatform::IsExistingDirectory(const std::string& path) {
  return directories_.count(Normal(path)) != 0;
}

bool MemoryPlatform::RemoveFile(const std::string& path) {
  const std::string normal = Normal(path);
  if (files_.count(normal) == 0) return false;
  if (IsOpen(normal, Mode::kWrite) || IsOpen(normal, Mode::kRead)) {
    return false;
  }
  files_.erase(normal);
  return true;
}

uint32_t MemoryPlatform::CopyFileNoReplace(const std::string& source,
                                           const std::string& destination) {
  const std::string from = Normal(source);
  const std::string to = Normal(destination);
  if (directories_.count(from) != 0) return kErrorAccessDenied;
  auto it = files_.find(from);
  if (it == files_.end()) return kErrorFileNotFound;
  if (directories_.count(Parent(to)) == 0) return kErrorPathNotFound;
  if (directories_.count(to) != 0) return kErrorAccessDenied;
  if (files_.count(to) != 0) return kErrorFileExists;
  files_[to] = {std::make_shared<std::string>(*it->second.bytes),
                it->second.write_time};
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
    entry.size = static_cast<uint32_t>(file.bytes->size());
    entry.attributes = kAttrArchive;
    entry.time_packable = false;
    entry.write_time = file.write_time;
    entries.push_back(entry);
  }
  return entries;
}

bool MemoryPlatform::IsSameFile(const std::string& first,
                                const std::string& second) {
  const std::string a = Normal(first);
  return files_.count(a) != 0 && a == Normal(second);
}

uint32_t MemoryPlatform::OpenForWrite(const std::string& path,
                                      FileHandle* file) {
  const std::string normal = Normal(path);
  if (directories_.count(Parent(normal)) == 0) return kErrorPathNotFound;
  if (directories_.count(normal) != 0) return kErrorAccessDenied;
  if (IsOpen(normal, Mode::kWrite) || IsOpen(normal, Mode::kRead)) {
    return kErrorSharingViolation;
  }
  auto bytes = std::make_shared<std::string>();
  files_[normal] = {bytes, now_};
  *file = next_handle_++;
  open_[*file] = {normal, bytes, 0, Mode::kWrite};
  return 0;
}

uint32_t MemoryPlatform::OpenExisting(const std::string& path, Mode mode,
                                      FileHandle* file) {
  const std::string normal = Normal(path);
  if (directories_.count(normal) != 0) return kErrorAccessDenied;
  auto it = files_.find(normal);
  if (it == files_.end()) {
    return directories_.count(Parent(normal)) != 0 ? kErrorFileNotFound
                                                   : kErrorPathNotFound;
  }
  // Reading without sharing writes cannot meet an open writer.
  if (mode == Mode::kRead && IsOpen(normal, Mode::kWrite)) {
    return kErrorSharingViolation;
  }
  *file = next_handle_++;
  open_[*file] = {normal, it->second.bytes, 0, mode};
  return 0;
}

uint32_t MemoryPlatform::OpenForRead(const std::string& path,
                                     FileHandle* file) {
  return OpenExisting(path, Mode::kRead, file);
}

uint32_t MemoryPlatform::OpenShared(const std::string& path, FileHandle* file) {
  return OpenExisting(path, Mode::kShared, file);
}

uint32_t MemoryPlatform::Read(FileHandle file, void* buffer, size_t size,
                              size_t* count) {
  auto it = open_.find(file);
  if (it == open_.end() || it->second.mode == Mode::kWrite) {
    return kErrorInvalidHandle;
  }
  Open& open = it->second;
  size_t n = std::min(
      size, open.bytes->size() - std::min(open.position, open.bytes->size()));
  if (read_limit_ != 0) n = std::min(n, read_limit_);
  if (n != 0) std::memcpy(buffer, open.bytes->data() + open.position, n);
  open.position += n;
  *count = n;
  return 0;
}

uint32_t MemoryPlatform::Write(FileHandle file, const void* data, size_t size) {
  auto it = open_.find(file);
  if (it == open_.end() || it->second.mode != Mode::kWrite) {
    return kErrorInvalidHandle;
  }
  it->second.bytes->append(static_cast<const char*>(data), size);
  return 0;
}

uint32_t MemoryPlatform::Size(FileHandle file, uint64_t* size) {
  auto it = open_.find(file);
  if (it == open_.end()) return kErrorInvalidHandle;
  *size = it->second.bytes->size();
  return 0;
}

uint32_t MemoryPlatform::Close(FileHandle file) {
  return open_.erase(file) != 0 ? 0 : kErrorInvalidHandle;
}

}  // namespace stashwell
