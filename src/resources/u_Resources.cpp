#include "resources/u_Resources.h"

#include "common/u_Files.h"
#include "resources/u_WinInfo.h"
#include "resources/vexFiles.h"
#include "resources/vexRes.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr uint32_t IconFileHeaderSize = 6;
constexpr uint32_t IconFileEntrySize = 16;
constexpr uint32_t IconGroupEntryPrefix = 12; // the part of an .ico entry the group copies
constexpr uint16_t IconImageType = 1;
constexpr int MaxResourceId = 0xFFFF;

uint16_t Get16(const std::string& bytes, size_t offset) {
  return uint16_t(uint8_t(bytes[offset]) | uint8_t(bytes[offset + 1]) << 8);
}

uint32_t Get32(const std::string& bytes, size_t offset) {
  return uint32_t(Get16(bytes, offset)) | uint32_t(Get16(bytes, offset + 2)) << 16;
}

TResIdent WideIdent(const TResourceIdent& ident) {
  if (ident.IsText && ident.Text.empty()) // would read as the integer 0
    RaiseVexError(EINVAL, "an empty text is no resource type or name");
  if (ident.IsText)
    return TResIdent(AnsiToWideText(ident.Text));
  return TResIdent(ident.Id);
}

} // namespace

std::optional<std::string_view> FindModuleResource(const TPEModule& module, const std::string& type,
                                                   const std::string& name) {
  return module.FindResource(TResIdent(AnsiToWideText(type)), TResIdent(AnsiToWideText(name)));
}

TResourceIdent::TResourceIdent(int id) {
  if (id < 0 || id > MaxResourceId)
    throw EResourcesError(Format("Resource identifier %d is not a 16-bit integer", id));
  Id = uint16_t(id);
}

std::string ReadModuleResource(const TPEModule& module, const std::string& type,
                               const std::string& name) {
  const auto data = FindModuleResource(module, type, name);
  return data ? std::string(*data) : std::string();
}

TResourcePlace ModuleResourcePlace(const TPEModule& module, const std::string& type,
                                   const std::string& name) {
  const auto data = FindModuleResource(module, type, name);
  return data ? TResourcePlace{module.OffsetOf(*data), data->size()} : TResourcePlace{};
}

namespace {
// The changes' identifiers, checked before anything is read or written.
std::vector<std::pair<TResIdent, TResIdent>>
ChangeIdents(const std::vector<TResourceChange>& changes) {
  std::vector<std::pair<TResIdent, TResIdent>> idents;
  for (const TResourceChange& change : changes) {
    if (change.Data.size() > 0xFFFFFFFFu)
      RaiseVexError(EFBIG, "resource data larger than 4 GiB");
    idents.emplace_back(WideIdent(change.Type), WideIdent(change.Name));
  }
  return idents;
}

// Makes the changes in the update begun (none when the begin failed) and ends it as how says.
TResourceUpdateResult ApplyChanges(TResUpdateContext* update,
                                   const std::vector<std::pair<TResIdent, TResIdent>>& idents,
                                   std::vector<TResourceChange> changes,
                                   const TExeImageUpdate& how) {
  if (!update)
    RaiseLastVexError();
  update->OnProgress = how.OnProgress;
  update->ReadBack = how.Written != nullptr;
  update->Nameless = how.Nameless;
  // The signer's own failure (a time-stamp server that does not answer) is the one to report,
  // not the rewriter's record of it.
  std::exception_ptr signFailure;
  if (how.OnSign)
    update->OnSign = [&](const TImageHeaders& headers, uint64_t length, const TImageReader& read) {
      try {
        return how.OnSign(headers, length, read);
      } catch (...) {
        signFailure = std::current_exception();
        throw;
      }
    };
  try {
    for (size_t i = 0; i < changes.size(); ++i) {
      if (!UpdateResourceEntry(update, idents[i].first, idents[i].second, 0,
                               std::move(changes[i].Data)))
        RaiseLastVexError();
    }
  } catch (...) {
    EndResourceUpdate(update, true);
    throw;
  }
  TResUpdateOutcome outcome;
  if (!EndResourceUpdate(update, false, &outcome)) { // closed the update either way
    if (signFailure)
      std::rethrow_exception(signFailure);
    RaiseLastVexError();
  }
  if (how.Written)
    *how.Written = std::move(outcome.Written);
  return {outcome.SignatureRemoved};
}
} // namespace

TResourceUpdateResult UpdateExeResources(const std::string& fileName,
                                         std::vector<TResourceChange> changes,
                                         const std::string& targetName,
                                         const TPercentEvent& onProgress,
                                         const TImageSignEvent& onSign) {
  // The platform's resource-update service does not exist here (IsNonNTWindows always holds):
  // every update takes the own rewriter. The file name goes to it as the bytes it is.
  const auto idents = ChangeIdents(changes);
  TResUpdateContext* update = BeginResourceUpdateInto(fileName, targetName, false);
  TExeImageUpdate how;
  how.TargetName = targetName;
  how.OnProgress = onProgress;
  how.OnSign = onSign;
  return ApplyChanges(update, idents, std::move(changes), how);
}

TResourceUpdateResult UpdateExeImageResources(const std::string& fileName, const TExeImage& book,
                                              std::vector<TResourceChange> changes,
                                              const TExeImageUpdate& how) {
  const auto idents = ChangeIdents(changes);
  // A nameless file is made where scratch files go; the name only gives the folder.
  const std::string target = how.Nameless ? TempFolder() + "/branded.exe" : how.TargetName;
  TResUpdateContext* update = BeginImageResourceUpdate(fileName, book.Image, book.Identity, target);
  return ApplyChanges(update, idents, std::move(changes), how);
}

TResourceUpdateResult UpdateExeResource(const std::string& fileName, const TResourceIdent& type,
                                        const TResourceIdent& name, std::string data,
                                        const TPercentEvent& onProgress) {
  std::vector<TResourceChange> changes;
  changes.push_back({type, name, std::move(data)});
  return UpdateExeResources(fileName, std::move(changes), {}, onProgress);
}

void CheckResourceUpdatePossible(const std::string& fileName, const std::string& targetName) {
  const int fd =
      ::open(fileName.c_str(), (targetName.empty() ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    RaiseVexError(errno, {});
  ::close(fd);
  std::string folder;
  try {
    folder = targetName.empty() ? FolderOf(ResolvedPath(fileName)) : FolderOf(targetName);
  } catch (const EVexError& e) {
    RaiseVexError(e.Code(), e.Message());
  }
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    const int code = errno;
    if (code == EACCES || code == EROFS || code == EPERM)
      RaiseVexError(code, Format("The folder \"%s\" must be writable: the book is replaced by "
                                 "a new file written there",
                                 folder.c_str()));
    RaiseVexError(code, Format("The folder \"%s\" cannot be used: %s", folder.c_str(),
                               SysErrorMessage(code).c_str()));
  }
}

TResourceUpdateResult UpdateRCDataResource(const std::string& fileName, const std::string& name,
                                           std::string data, const TPercentEvent& onProgress) {
  return UpdateExeResource(fileName, "RCDATA", name, std::move(data), onProgress);
}

TIconGroupData IconFileToGroup(const std::string& iconFile, int firstId) {
  TResourceIdent{firstId}; // raises for a first name that is no 16-bit integer
  if (iconFile.size() < IconFileHeaderSize || Get16(iconFile, 2) != IconImageType)
    throw EResourcesError(SIconCorrupted);
  const uint32_t count = Get16(iconFile, 4);
  const uint64_t directoryEnd = IconFileHeaderSize + uint64_t(IconFileEntrySize) * count;
  if (count > MaxIconImages || iconFile.size() < directoryEnd)
    throw EResourcesError(SIconCorrupted);
  // Icon names are 16-bit integers: a group that would need more is no icon we can store.
  if (count > 0 && int64_t(firstId) + count - 1 > MaxResourceId)
    throw EResourcesError(SIconCorrupted);
  // Images lie apart from the directory and from each other, so together they take no more
  // than the file: a file naming one block many times would otherwise ask for count copies.
  std::vector<std::pair<uint64_t, uint64_t>> extents; // offset, end
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = IconFileHeaderSize + size_t(i) * IconFileEntrySize;
    const uint64_t offset = Get32(iconFile, entry + 12);
    const uint64_t end = offset + Get32(iconFile, entry + 8);
    if (end > iconFile.size() || (end > offset && offset < directoryEnd))
      throw EResourcesError(SIconCorrupted);
    if (end > offset)
      extents.emplace_back(offset, end);
  }
  std::sort(extents.begin(), extents.end());
  for (size_t i = 1; i < extents.size(); ++i)
    if (extents[i].first < extents[i - 1].second)
      throw EResourcesError(SIconCorrupted);

  TIconGroupData group;
  group.GroupRecord = iconFile.substr(0, IconFileHeaderSize);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = IconFileHeaderSize + size_t(i) * IconFileEntrySize;
    const uint16_t id = uint16_t(firstId + int(i));
    group.GroupRecord.append(iconFile, entry, IconGroupEntryPrefix);
    group.GroupRecord.push_back(char(id & 0xFF));
    group.GroupRecord.push_back(char(id >> 8));
    group.Images.push_back(
        iconFile.substr(Get32(iconFile, entry + 12), Get32(iconFile, entry + 8)));
  }
  return group;
}

std::vector<TResourceChange> IconGroupChanges(const std::string& groupName, int firstId,
                                              const std::string& iconFile) {
  TIconGroupData group = IconFileToGroup(iconFile, firstId);
  std::vector<TResourceChange> changes;
  changes.push_back({ResTypeGroupIcon, groupName, std::move(group.GroupRecord)});
  for (size_t i = 0; i < group.Images.size(); ++i)
    changes.push_back({ResTypeIcon, firstId + int(i), std::move(group.Images[i])});
  return changes;
}

TResourceUpdateResult UpdateIconGroupResource(const std::string& fileName,
                                              const std::string& groupName, int firstId,
                                              const std::string& iconFile) {
  return UpdateExeResources(fileName, IconGroupChanges(groupName, firstId, iconFile));
}
