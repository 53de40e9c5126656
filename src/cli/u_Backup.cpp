#include "cli/u_Backup.h"

#include "cli/u_Arguments.h"
#include "common/u_FileIO.h"
#include "common/u_SysUtils.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The number after which the next numbered backup of name comes: the highest N of the folder's
// "name.~N~", 0 when there is none.
unsigned long LastBackupNumber(const std::string& folder, const std::string& name) {
  const std::string prefix = name + ".~";
  unsigned long last = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string other = entry.path().filename().string();
    if (other.size() <= prefix.size() + 1 || other.compare(0, prefix.size(), prefix) != 0 ||
        other.back() != '~')
      continue;
    const std::string digits = other.substr(prefix.size(), other.size() - prefix.size() - 1);
    if (digits.size() < 10 && digits.find_first_not_of("0123456789") == std::string::npos)
      last = std::max(last, std::stoul(digits));
  }
  return last;
}

// A copy of the file at path named backup, for a file system without links.
void CopyAsBackup(const std::string& path, const std::string& backup) {
  const TFileHandle from(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (!from.IsOpen() || ::fstat(from.Get(), &info) != 0)
    RaiseLastOSError();
  const TFileHandle to(CreateExclusiveFile(backup));
  try {
    std::string piece(size_t(1) << 20, '\0');
    for (uint64_t done = 0; done < uint64_t(info.st_size);) {
      const uint64_t n = std::min<uint64_t>(piece.size(), uint64_t(info.st_size) - done);
      ReadAllAt(from.Get(), piece.data(), n, done);
      WriteAllAt(to.Get(), piece.data(), n, done);
      done += n;
    }
    (void)!::fchown(to.Get(), info.st_uid, info.st_gid); // where the system allows
    if (::fchmod(to.Get(), info.st_mode & 07777) != 0 || ::fsync(to.Get()) != 0)
      RaiseLastOSError();
  } catch (...) {
    ::unlink(backup.c_str());
    throw;
  }
}

// Names the file at path backup as well, linked or copied.
void KeepAs(const std::string& path, const std::string& backup) {
  if (::link(path.c_str(), backup.c_str()) == 0)
    return;
  const int code = errno;
  if (code != EPERM && code != EMLINK && code != ENOTSUP && code != EXDEV)
    RaiseLastOSError(code);
  CopyAsBackup(path, backup);
}

} // namespace

TBackupKind BackupKindOf(const std::string& value) {
  if (value.empty() || value == "simple")
    return TBackupKind::Simple;
  if (value == "numbered")
    return TBackupKind::Numbered;
  throw EUsageError("--backup takes simple or numbered, not " + value);
}

namespace {
std::string MakeBackup(const std::string& path, TBackupKind kind, std::string& backup) {
  const std::filesystem::path place(path);
  const std::string folder = place.has_parent_path() ? place.parent_path().string() : ".";
  if (kind == TBackupKind::Simple) {
    // Until the new book replaces it, the book itself holds what the old backup would give
    // back: the old backup may go first.
    backup = path + "~";
    if (::unlink(backup.c_str()) != 0 && errno != ENOENT)
      RaiseLastOSError();
    KeepAs(path, backup);
  } else {
    for (unsigned long number = LastBackupNumber(folder, place.filename().string()) + 1;;
         ++number) {
      backup = path + ".~" + std::to_string(number) + "~";
      try {
        KeepAs(path, backup);
        break;
      } catch (const EOSError& e) {
        if (e.ErrorCode() != EEXIST) // another brand took the number meanwhile
          throw;
      }
    }
  }
  const TFileHandle folderHandle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderHandle.IsOpen() || ::fsync(folderHandle.Get()) != 0)
    RaiseLastOSError();
  return backup;
}
} // namespace

std::string BackUpFile(const std::string& path, TBackupKind kind) {
  struct stat info;
  if (kind == TBackupKind::None || ::lstat(path.c_str(), &info) != 0)
    return {};
  std::string backup = path + "~";
  try {
    return MakeBackup(path, kind, backup);
  } catch (const EOSError& e) {
    throw EOSError(e.ErrorCode(), "The backup \"" + backup +
                                      "\" cannot be written: " + SysErrorMessage(e.ErrorCode()));
  } catch (const EFileIOError& e) {
    throw EOSError(e.Code(), "The backup \"" + backup + "\" cannot be written: " + e.what());
  }
}
