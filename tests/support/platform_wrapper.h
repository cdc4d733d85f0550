// A Platform that forwards every call to another one. Tests derive from it
// and override only the calls they break or watch.
#ifndef STASHWELL_TESTS_SUPPORT_PLATFORM_WRAPPER_H_
#define STASHWELL_TESTS_SUPPORT_PLATFORM_WRAPPER_H_

#include "platform/platform.h"

namespace stashwell {

class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  const PathSyntax& Syntax() override { return target_.Syntax(); }
  bool IsExistingFile(const std::string& path) override {
    return target_.IsExistingFile(path);
  }
  bool IsExistingDirectory(const std::string& path) override {
    return target_.IsExistingDirectory(path);
  }
  bool RemoveFile(const std::string& path) override {
    return target_.RemoveFile(path);
  }
  uint32_t CopyFileNoReplace(const std::string& source,
                             const std::string& destination) override {
    return target_.CopyFileNoReplace(source, destination);
  }
  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override {
    return target_.FindMatching(mask, attributes);
  }
  bool IsSameFile(const std::string& first,
                  const std::string& second) override {
    return target_.IsSameFile(first, second);
  }
  uint32_t OpenForWrite(const std::string& path, FileHandle* file) override {
    return target_.OpenForWrite(path, file);
  }
  uint32_t OpenForRead(const std::string& path, FileHandle* file) override {
    return target_.OpenForRead(path, file);
  }
  uint32_t OpenShared(const std::string& path, FileHandle* file) override {
    return target_.OpenShared(path, file);
  }
  uint32_t Read(FileHandle file, void* buffer, size_t size,
                size_t* count) override {
    return target_.Read(file, buffer, size, count);
  }
  uint32_t Write(FileHandle file, const void* data, size_t size) override {
    return target_.Write(file, data, size);
  }
  uint32_t Size(FileHandle file, uint64_t* size) override {
    return target_.Size(file, size);
  }
  uint32_t Close(FileHandle file) override { return target_.Close(file); }
  DayCount LocalNow() override { return target_.LocalNow(); }
  LocaleFormats ReadLocaleFormats() override {
    return target_.ReadLocaleFormats();
  }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    return target_.AskYesNo(text, caption);
  }
  void ShowWarning(const std::string& text,
                   const std::string& caption) override {
    target_.ShowWarning(text, caption);
  }
  void ShowError(const std::string& text, const std::string& caption) override {
    target_.ShowError(text, caption);
  }
  void OpenWithShell(const std::string& path) override {
    target_.OpenWithShell(path);
  }
  CommandLine ReadCommandLine() override { return target_.ReadCommandLine(); }
  std::string ProgramFileName() override { return target_.ProgramFileName(); }
  uintptr_t CodeOffset(const void* address) override {
    return target_.CodeOffset(address);
  }

 protected:
  Platform& target_;
};

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_PLATFORM_WRAPPER_H_
