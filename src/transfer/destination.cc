#include "transfer/destination.h"

#include <limits>

#include "platform/copy_protocol.h"

namespace stashwell {

uint32_t DestinationFolder::Open() {
  if (folder_) return 0;
  const uint32_t code =
      state_.platform.OpenFolder(state_.DestinationDir, &folder_);
  if (code != 0) folder_.reset();
  return code;
}

std::string DestinationFolder::PathOf(std::string_view name) const {
  std::string path = state_.DestinationDir;
  path += state_.syntax.separator;
  path += name;
  return path;
}

PathKind DestinationFolder::Examine(const std::string& name) {
  if (Open() == 0) return folder_->Examine(name);
  return state_.platform.Examine(PathOf(name));
}

uint32_t DestinationFolder::CopyIn(const std::string& source,
                                   const std::string& name,
                                   CopyReceipt* receipt) {
  const uint32_t code = Open();
  if (code != 0) return code;
  return folder_->CopyIn(source, name, receipt);
}

std::unique_ptr<CopyPrimitives> DestinationFolder::StartCopy() {
  if (Open() != 0) return nullptr;
  return folder_->StartCopy();
}

std::optional<FileProof> DestinationFolder::ProofOf(const std::string& name) {
  if (Open() != 0) return std::nullopt;
  return folder_->ProofOf(name);
}

std::vector<std::string> DestinationFolder::PlainFileNames(
    std::string_view prefix, std::string_view suffix) {
  if (Open() != 0) return {};
  return folder_->PlainFileNames(prefix, suffix);
}

uint32_t DestinationFolder::ListingCostInLookups() {
  if (Open() != 0) return std::numeric_limits<uint32_t>::max();
  return folder_->ListingCostInLookups();
}

uint32_t DestinationFolder::Flush() {
  return folder_ ? folder_->Flush() : kErrorInvalidHandle;
}

}  // namespace stashwell
