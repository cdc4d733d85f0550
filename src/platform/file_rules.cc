#include "platform/file_rules.h"

namespace stashwell {

PathKind KindOf(Found found) {
  switch (found) {
    case Found::kNothing:
      return PathKind::kMissing;
    case Found::kDiskFile:
      return PathKind::kFile;
    case Found::kFolder:
      return PathKind::kFolder;
    case Found::kUnreachable:
      return PathKind::kUnreachable;
    case Found::kGeneratedFile:
    case Found::kLink:
    case Found::kSpecial:
      return PathKind::kOther;
  }
  return PathKind::kOther;
}

uint32_t OpenRefusal(FileUse use, Found found) {
  switch (found) {
    case Found::kDiskFile:
      return 0;
    // The log is created where nothing stands; reading needs a file.
    case Found::kNothing:
      return use == FileUse::kLog ? 0 : kErrorFileNotFound;
    case Found::kFolder:
      return kErrorAccessDenied;
    case Found::kGeneratedFile:
    case Found::kLink:
    case Found::kSpecial:
    case Found::kUnreachable:
      return use == FileUse::kLog ? kErrorAccessDenied : kErrorFileNotFound;
  }
  return kErrorAccessDenied;
}

LogName TreatLogName(Found found, uint64_t names) {
  switch (found) {
    case Found::kNothing:
      return LogName::kWrite;
    case Found::kDiskFile:
      return names == 1 ? LogName::kWrite : LogName::kReplace;
    case Found::kLink:
      return LogName::kReplace;
    case Found::kGeneratedFile:
    case Found::kFolder:
    case Found::kSpecial:
    case Found::kUnreachable:
      return LogName::kRefuse;
  }
  return LogName::kRefuse;
}

bool MayRemove(Found found) {
  return found == Found::kDiskFile || found == Found::kLink;
}

}  // namespace stashwell
