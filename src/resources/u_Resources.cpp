#include "resources/u_Resources.h"

#include "common/u_FailureCause.h"
#include "common/u_FileIO.h"
#include "common/u_Files.h"
#include "resources/u_IconFormat.h"
#include "resources/u_WinInfo.h"
#include "resources/vexRes.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <unistd.h>
#include <utility>

namespace {

constexpr int MaxResourceId = 0xFFFF;

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

std::optional<TFileRange> FindStandAloneModuleResource(TSnapshotReader& reader,
                                                       const std::string& fileName,
                                                       const std::string& type,
                                                       const std::string& name) {
  return FindStandAloneResource(reader, fileName, TResIdent(AnsiToWideText(type)),
                                TResIdent(AnsiToWideText(name)));
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

// Makes the changes in the update begun by begin and commits it as how says; a failure leaves
// the file as it was and is raised as EOSError, or as the signer or BeforeReplace raised it.
TResourceUpdateResult ApplyChanges(const std::function<TResourceUpdate()>& begin,
                                   const std::vector<std::pair<TResIdent, TResIdent>>& idents,
                                   std::vector<TResourceChange> changes,
                                   const TExeImageUpdate& how) {
  // The signer's own failure (a time-stamp server that does not answer), or BeforeReplace's, is
  // the one to report, not the rewriter's record of it.
  std::exception_ptr callerFailure;
  TResUpdateOutcome outcome;
  try {
    TResourceUpdate update = begin();
    TResUpdateContext& context = update.Context();
    context.OnProgress = how.OnProgress;
    context.ReadBack = how.Written != nullptr;
    context.Nameless = how.Nameless;
    if (how.OnSign)
      context.OnSign = [&](const TImageHeaders& headers, uint64_t length,
                           const TImageReader& read) {
        try {
          return how.OnSign(headers, length, read);
        } catch (...) {
          callerFailure = std::current_exception();
          throw;
        }
      };
    if (how.BeforeReplace)
      context.BeforeReplace = [&](const std::string& replaced) {
        try {
          how.BeforeReplace(replaced);
        } catch (...) {
          callerFailure = std::current_exception();
          throw;
        }
      };
    for (size_t i = 0; i < changes.size(); ++i) {
      if (changes[i].DataFile.IsOpen())
        update.Change(idents[i].first, idents[i].second, 0, std::move(changes[i].DataFile));
      else
        update.Change(idents[i].first, idents[i].second, 0, std::move(changes[i].Data));
    }
    outcome = update.Commit();
  } catch (...) {
    if (callerFailure)
      std::rethrow_exception(callerFailure);
    RaiseVexFailure();
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
  TExeImageUpdate how;
  how.TargetName = targetName;
  how.OnProgress = onProgress;
  how.OnSign = onSign;
  return ApplyChanges([&] { return TResourceUpdate::Begin(fileName, targetName, false); }, idents,
                      std::move(changes), how);
}

TResourceUpdateResult UpdateExeImageResources(const std::string& fileName, const TExeImage& book,
                                              std::vector<TResourceChange> changes,
                                              const TExeImageUpdate& how) {
  const auto idents = ChangeIdents(changes);
  // A nameless file is made where scratch files go; the name only gives the folder.
  const std::string target = how.Nameless ? TempFolder() + "/branded.exe" : how.TargetName;
  return ApplyChanges(
      [&] {
        TResourceUpdate update =
            TResourceUpdate::BeginImage(fileName, book.Image, book.Identity, target);
        update.Context().Source = book.Handle;
        return update;
      },
      idents, std::move(changes), how);
}

TResourceUpdateResult UpdateExeResource(const std::string& fileName, const TResourceIdent& type,
                                        const TResourceIdent& name, std::string data,
                                        const TPercentEvent& onProgress) {
  std::vector<TResourceChange> changes;
  changes.push_back({type, name, std::move(data)});
  return UpdateExeResources(fileName, std::move(changes), {}, onProgress);
}

void CheckResourceUpdatePossible(const std::string& fileName, const std::string& targetName) {
  const TFileHandle opened(
      ::open(fileName.c_str(), (targetName.empty() ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC));
  if (!opened.IsOpen()) {
    const int code = errno;
    RaiseVexError(code, targetName.empty() ? BookRefusalText(code) : std::string());
  }
  std::string folder;
  try {
    folder = targetName.empty() ? FolderOf(ResolvedPath(fileName)) : FolderOf(targetName);
  } catch (const EFileIOError& e) {
    RaiseVexError(e.Code(), e.Message());
  }
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    const int code = errno;
    RaiseVexError(
        code, FolderRefusalText(code, folder,
                                targetName.empty() ? TWriteTarget::InPlace : TWriteTarget::Copy));
  }
}

TResourceUpdateResult UpdateRCDataResource(const std::string& fileName, const std::string& name,
                                           std::string data, const TPercentEvent& onProgress) {
  return UpdateExeResource(fileName, "RCDATA", name, std::move(data), onProgress);
}

TIconGroupData IconFileToGroup(const std::string& iconFile, int firstId) {
  TResourceIdent{firstId}; // raises for a first name that is no 16-bit integer
  if (iconFile.size() < IconHeaderSize)
    throw EResourcesError(SIconCorrupted);
  const TByteView bytes = ByteViewOf(iconFile);
  const TIconHeader header = ReadIconHeader(bytes);
  const uint32_t count = header.Count;
  const uint64_t directoryEnd = IconHeaderSize + IconFileEntrySize * count;
  if (header.Type != IconImageType || count > MaxIconImages || iconFile.size() < directoryEnd)
    throw EResourcesError(SIconCorrupted);
  // Icon names are 16-bit integers: a group that would need more is no icon we can store.
  if (count > 0 && int64_t(firstId) + count - 1 > MaxResourceId)
    throw EResourcesError(SIconCorrupted);
  std::vector<TIconEntry> entries;
  for (uint32_t i = 0; i < count; ++i)
    entries.push_back(ReadIconFileEntry(bytes, i));
  // Images lie apart from the directory and from each other, so together they take no more
  // than the file: a file naming one block many times would otherwise ask for count copies.
  std::vector<std::pair<uint64_t, uint64_t>> extents; // offset, end
  for (const TIconEntry& entry : entries) {
    const uint64_t offset = entry.Place;
    const uint64_t end = offset + entry.ImageSize;
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
  WriteIconHeader(group.GroupRecord, header);
  for (uint32_t i = 0; i < count; ++i) {
    TIconEntry entry = entries[i];
    group.Images.push_back(iconFile.substr(entry.Place, entry.ImageSize));
    entry.Place = uint16_t(firstId + int(i));
    WriteIconGroupEntry(group.GroupRecord, entry);
  }
  return group;
}

bool SameIconImages(const std::string& a, const std::string& b) {
  const auto group = [](const std::string& icon) -> std::optional<TIconGroupData> {
    try {
      return IconFileToGroup(icon, 1);
    } catch (const EResourcesError&) {
      return std::nullopt;
    }
  };
  const std::optional<TIconGroupData> first = group(a), second = group(b);
  if (!first || !second)
    return !first && !second;
  // The header's reserved word is not the icon's: a group read back is written with zero.
  return first->Images == second->Images &&
         first->GroupRecord.compare(IconHeaderSize, std::string::npos, second->GroupRecord,
                                    IconHeaderSize) == 0;
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
