// A Platform that forwards every call to another one. Tests derive from it
// and override only the calls they break or watch. The files and folders it
// opens are wrapped too: their operations go through the File* and Folder*
// hooks below, which a test overrides to break or watch one operation of
// one kind of file, or of the destination folder.
#ifndef STASHWELL_TESTS_SUPPORT_PLATFORM_WRAPPER_H_
#define STASHWELL_TESTS_SUPPORT_PLATFORM_WRAPPER_H_

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/copy_protocol.h"
#include "platform/platform.h"

namespace stashwell {

// Primitives of a copy that forward every call to another copy's. Tests
// derive from it to make one primitive answer as a file system without it
// would.
class CopyPrimitivesWrapper : public CopyPrimitives {
 public:
  explicit CopyPrimitivesWrapper(std::unique_ptr<CopyPrimitives> inner)
      : inner_(std::move(inner)) {}

  uint32_t OpenSource(const std::string& source, FileProof* read) override {
    return inner_->OpenSource(source, read);
  }
  std::optional<FileProof> SourceProof() override {
    return inner_->SourceProof();
  }
  bool IsTaken(const std::string& name) override {
    return inner_->IsTaken(name);
  }
  void RemoveLeftovers() override { inner_->RemoveLeftovers(); }
  std::optional<uint32_t> StageUnnamed() override {
    return inner_->StageUnnamed();
  }
  uint32_t StageNamed() override { return inner_->StageNamed(); }
  uint32_t CopyBytes() override { return inner_->CopyBytes(); }
  uint32_t KeepMetadata() override { return inner_->KeepMetadata(); }
  uint32_t SyncStaged() override { return inner_->SyncStaged(); }
  std::optional<uint32_t> PublishByLink(const std::string& name) override {
    return inner_->PublishByLink(name);
  }
  std::optional<uint32_t> PublishByRename(const std::string& name) override {
    return inner_->PublishByRename(name);
  }
  std::optional<uint32_t> PublishByReservation(
      const std::string& name) override {
    return inner_->PublishByReservation(name);
  }
  std::optional<FileProof> StagedProof() override {
    return inner_->StagedProof();
  }
  uint32_t CloseStaged() override { return inner_->CloseStaged(); }
  void EndStaging() override { inner_->EndStaging(); }
  std::optional<FileProof> ProofOfName(const std::string& name) override {
    return inner_->ProofOfName(name);
  }
  void RemoveName(const std::string& name) override {
    inner_->RemoveName(name);
  }
  bool NamesKeepFileIds() override { return inner_->NamesKeepFileIds(); }

 private:
  std::unique_ptr<CopyPrimitives> inner_;
};

class PlatformWrapper : public Platform {
 public:
  // A file of the target, with each operation handed to the wrapper.
  class WrappedFile : public File {
   public:
    WrappedFile(PlatformWrapper& owner, std::unique_ptr<File> inner,
                std::string path, FileUse use)
        : owner_(owner),
          inner_(std::move(inner)),
          path_(std::move(path)),
          use_(use) {}
    // A file let go of without Close is closed through the hook as well,
    // its result ignored, as the real files do.
    ~WrappedFile() override {
      if (!closed_) owner_.FileClose(*this);
    }
    uint32_t Read(void* buffer, size_t size, size_t* count) override {
      return owner_.FileRead(*this, buffer, size, count);
    }
    uint32_t View(uint64_t offset, size_t most,
                  std::string_view* bytes) override {
      return owner_.FileView(*this, offset, most, bytes);
    }
    bool ViewPays(uint64_t offset) override {
      return owner_.FileViewPays(*this, offset);
    }
    uint32_t Write(const void* data, size_t size) override {
      return owner_.FileWrite(*this, data, size);
    }
    uint32_t Size(uint64_t* size) override {
      return owner_.FileSize(*this, size);
    }
    std::optional<FileId> Identity() override { return inner_->Identity(); }
    std::optional<FileProof> Proof() override {
      owner_.OnCall("File::Proof");
      return inner_->Proof();
    }
    uint32_t Flush() override { return owner_.FileFlush(*this); }
    bool RemoveName(const std::string& path) override {
      owner_.OnCall("File::RemoveName");
      return inner_->RemoveName(path);
    }
    uint32_t Close() override {
      closed_ = true;
      return owner_.FileClose(*this);
    }

    File& inner() { return *inner_; }
    const std::string& path() const { return path_; }
    FileUse use() const { return use_; }

   private:
    PlatformWrapper& owner_;
    std::unique_ptr<File> inner_;
    std::string path_;
    FileUse use_;
    bool closed_ = false;
  };

  // A folder of the target, with each operation handed to the wrapper.
  class WrappedFolder : public Folder {
   public:
    WrappedFolder(PlatformWrapper& owner, std::unique_ptr<Folder> inner,
                  std::string path)
        : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}
    PathKind Examine(const std::string& name) override {
      return owner_.FolderExamine(*this, name);
    }
    uint32_t CopyIn(const std::string& source, const std::string& name,
                    CopyReceipt* receipt) override {
      return owner_.FolderCopyIn(*this, source, name, receipt);
    }
    std::unique_ptr<CopyPrimitives> StartCopy() override {
      return owner_.FolderStartCopy(*this);
    }
    std::optional<FileProof> ProofOf(const std::string& name) override {
      owner_.OnCall("Folder::ProofOf");
      return inner_->ProofOf(name);
    }
    std::vector<std::string> PlainFileNames(std::string_view prefix,
                                            std::string_view suffix) override {
      return owner_.FolderPlainFileNames(*this, prefix, suffix);
    }
    uint32_t ListingCostInLookups() override {
      return owner_.FolderListingCostInLookups(*this);
    }
    uint32_t Flush() override { return owner_.FolderFlush(*this); }

    Folder& inner() { return *inner_; }
    const std::string& path() const { return path_; }
    // The path of name in this folder, as the run spells it.
    std::string PathOf(const std::string& name) const {
      return path_ + owner_.Syntax().separator + name;
    }

   private:
    PlatformWrapper& owner_;
    std::unique_ptr<Folder> inner_;
    std::string path_;
  };

  explicit PlatformWrapper(Platform& target) : target_(target) {}

  const PathSyntax& Syntax() override { return target_.Syntax(); }
  using Platform::Examine;
  PathKind Examine(const std::string& path, uint32_t* code) override {
    OnCall("Examine");
    return target_.Examine(path, code);
  }
  std::optional<FileId> IdentityOf(const std::string& path) override {
    OnCall("IdentityOf");
    return target_.IdentityOf(path);
  }
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    OnCall("Open");
    std::unique_ptr<File> inner;
    const uint32_t code = target_.Open(path, use, &inner);
    if (code == 0) {
      *file = std::make_unique<WrappedFile>(*this, std::move(inner), path, use);
    }
    return code;
  }
  bool RemoveFile(const std::string& path) override {
    OnCall("RemoveFile");
    return target_.RemoveFile(path);
  }
  Removal RemoveProvenFile(const std::string& path,
                           const FileProof& proof) override {
    OnCall("RemoveProvenFile");
    return target_.RemoveProvenFile(path, proof);
  }
  uint32_t OpenFolder(const std::string& path,
                      std::unique_ptr<Folder>* folder) override {
    OnCall("OpenFolder");
    std::unique_ptr<Folder> inner;
    const uint32_t code = target_.OpenFolder(path, &inner);
    if (code == 0) {
      *folder = std::make_unique<WrappedFolder>(*this, std::move(inner), path);
    }
    return code;
  }
  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override {
    OnCall("FindMatching");
    return target_.FindMatching(mask, attributes);
  }
  DayCount LocalNow() override { return target_.LocalNow(); }
  LocaleFormats ReadLocaleFormats() override {
    return target_.ReadLocaleFormats();
  }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    return target_.AskYesNo(text, caption);
  }
  void Tell(Notice notice, const std::string& text,
            const std::string& caption) override {
    target_.Tell(notice, text, caption);
  }
  void OpenWithShell(const std::string& path) override {
    target_.OpenWithShell(path);
  }
  CommandLine ReadCommandLine() override { return target_.ReadCommandLine(); }
  std::string ProgramFileName() override { return target_.ProgramFileName(); }
  uintptr_t CodeOffset(const void* address) override {
    return target_.CodeOffset(address);
  }

  // Called before every file-system call that goes through this wrapper,
  // with its name: a test counts the calls, or lets the world act between
  // two of them.
  virtual void OnCall(const char* /*what*/) {}

  // The operations of the files this wrapper opened.
  virtual uint32_t FileRead(WrappedFile& file, void* buffer, size_t size,
                            size_t* count) {
    OnCall("File::Read");
    return file.inner().Read(buffer, size, count);
  }
  virtual uint32_t FileView(WrappedFile& file, uint64_t offset, size_t most,
                            std::string_view* bytes) {
    OnCall("File::View");
    return file.inner().View(offset, most, bytes);
  }
  virtual bool FileViewPays(WrappedFile& file, uint64_t offset) {
    OnCall("File::ViewPays");
    return file.inner().ViewPays(offset);
  }
  virtual uint32_t FileWrite(WrappedFile& file, const void* data, size_t size) {
    OnCall("File::Write");
    return file.inner().Write(data, size);
  }
  virtual uint32_t FileSize(WrappedFile& file, uint64_t* size) {
    OnCall("File::Size");
    return file.inner().Size(size);
  }
  virtual uint32_t FileFlush(WrappedFile& file) {
    OnCall("File::Flush");
    return file.inner().Flush();
  }
  virtual uint32_t FileClose(WrappedFile& file) {
    OnCall("File::Close");
    return file.inner().Close();
  }

  // The operations of the folders this wrapper opened.
  virtual PathKind FolderExamine(WrappedFolder& folder,
                                 const std::string& name) {
    OnCall("Folder::Examine");
    return folder.inner().Examine(name);
  }
  virtual uint32_t FolderCopyIn(WrappedFolder& folder,
                                const std::string& source,
                                const std::string& name, CopyReceipt* receipt) {
    OnCall("Folder::CopyIn");
    // The copy protocol on this folder's primitives (FolderStartCopy).
    return folder.Folder::CopyIn(source, name, receipt);
  }
  virtual std::unique_ptr<CopyPrimitives> FolderStartCopy(
      WrappedFolder& folder) {
    return folder.inner().StartCopy();
  }
  virtual std::vector<std::string> FolderPlainFileNames(
      WrappedFolder& folder, std::string_view prefix, std::string_view suffix) {
    OnCall("Folder::PlainFileNames");
    return folder.inner().PlainFileNames(prefix, suffix);
  }
  virtual uint32_t FolderListingCostInLookups(WrappedFolder& folder) {
    return folder.inner().ListingCostInLookups();
  }
  virtual uint32_t FolderFlush(WrappedFolder& folder) {
    OnCall("Folder::Flush");
    return folder.inner().Flush();
  }

 protected:
  Platform& target_;
};

// The ways a copy may publish its file. A way left out answers as on a file
// system without it (nothing offered), so a test on any disk can take each
// way the protocol knows.
struct CopyWays {
  bool unnamed = true;      // an unnamed staged file
  bool rename = true;       // the no-replace rename
  bool link = true;         // a link
  bool reservation = true;  // publication over a reservation
};

// A platform whose folders' copies take only the ways given, and which
// records the way each publication took ("link", "rename",
// "reservation"; "unnamed " before it for an unnamed staged file).
class CopyWaysPlatform : public PlatformWrapper {
 public:
  CopyWaysPlatform(Platform& target, CopyWays ways)
      : PlatformWrapper(target), ways_(ways) {}

  std::unique_ptr<CopyPrimitives> FolderStartCopy(
      WrappedFolder& folder) override {
    return std::make_unique<Limited>(PlatformWrapper::FolderStartCopy(folder),
                                     *this);
  }

  std::vector<std::string> published;

 private:
  class Limited : public CopyPrimitivesWrapper {
   public:
    Limited(std::unique_ptr<CopyPrimitives> inner, CopyWaysPlatform& owner)
        : CopyPrimitivesWrapper(std::move(inner)), owner_(owner) {}
    std::optional<uint32_t> StageUnnamed() override {
      if (!owner_.ways_.unnamed) return std::nullopt;
      const std::optional<uint32_t> code =
          CopyPrimitivesWrapper::StageUnnamed();
      unnamed_ = code == 0u;
      return code;
    }
    uint32_t StageNamed() override {
      unnamed_ = false;
      return CopyPrimitivesWrapper::StageNamed();
    }
    std::optional<uint32_t> PublishByLink(const std::string& name) override {
      if (!owner_.ways_.link) return std::nullopt;
      return Record("link", CopyPrimitivesWrapper::PublishByLink(name));
    }
    std::optional<uint32_t> PublishByRename(const std::string& name) override {
      if (!owner_.ways_.rename) return std::nullopt;
      return Record("rename", CopyPrimitivesWrapper::PublishByRename(name));
    }
    std::optional<uint32_t> PublishByReservation(
        const std::string& name) override {
      if (!owner_.ways_.reservation) return std::nullopt;
      return Record("reservation",
                    CopyPrimitivesWrapper::PublishByReservation(name));
    }

   private:
    std::optional<uint32_t> Record(const char* way,
                                   std::optional<uint32_t> code) {
      if (code == 0u) {
        owner_.published.push_back((unnamed_ ? "unnamed " : "") +
                                   std::string(way));
      }
      return code;
    }

    CopyWaysPlatform& owner_;
    bool unnamed_ = false;
  };

  CopyWays ways_;
};

// Copies source to the path destination through the folder of destination,
// opened for this copy alone, as the run copies into its destination
// folder (the copy's bytes and its name flushed). 0 or the Win32 code of
// the open, the copy or the flush.
inline uint32_t CopyThroughFolder(Platform& os, const std::string& source,
                                  const std::string& destination) {
  std::unique_ptr<Folder> folder;
  uint32_t code = os.OpenFolder(FolderPart(destination, os.Syntax()), &folder);
  CopyReceipt receipt;
  if (code == 0) {
    code = folder->CopyIn(source, FileNamePart(destination, os.Syntax()),
                          &receipt);
  }
  if (code == 0) code = folder->Flush();
  return code;
}

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_PLATFORM_WRAPPER_H_
