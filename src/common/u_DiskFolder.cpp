#include "common/u_DiskFolder.h"

#include "common/u_SysUtils.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t NewFolderMode = 0777; // narrowed by the user's umask, as mkdir does
constexpr mode_t NewFileMode = 0666;
constexpr mode_t WritePermissions = 0222;
const char* const SFCreateFolderErrorEx = "Cannot create folder \"%s\". %s";

[[noreturn]] void RaiseCreateError(const std::string& path, int code) {
  throw EFCreateError(Format(SFCreateErrorEx, path.c_str(), SysErrorMessage(code).c_str()));
}

[[noreturn]] void RaiseFolderError(const std::string& path, int code) {
  throw EFCreateError(Format(SFCreateFolderErrorEx, path.c_str(), SysErrorMessage(code).c_str()));
}

// Sets the modification time of an open file or folder; the access time is left as it is.
bool SetModifiedTime(int fd, std::time_t modified) {
  const timespec times[2] = {{0, UTIME_OMIT}, {modified, 0}};
  return ::futimens(fd, times) == 0;
}

int OpenFolderNoFollow(int parent, const std::string& name) {
  return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

TDiskFolder TDiskFolder::OpenOrCreate(const std::string& path) {
  std::error_code made; // what kept the folder from being made, told when it cannot be opened
  std::filesystem::create_directories(path, made);
  TFileHandle handle(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!handle.IsOpen())
    RaiseFolderError(path, made ? made.value() : errno);
  return TDiskFolder(std::move(handle), path);
}

std::string TDiskFolder::PathOf(const std::string& name) const {
  return !FPath.empty() && FPath.back() == '/' ? FPath + name : FPath + "/" + name;
}

TDiskFolder TDiskFolder::Subfolder(const std::string& name, bool replace) const {
  if (::mkdirat(FHandle.Get(), name.c_str(), NewFolderMode) != 0) {
    const int code = errno;
    struct stat info;
    if (code != EEXIST || ::fstatat(FHandle.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
      RaiseFolderError(PathOf(name), code);
    if (!S_ISDIR(info.st_mode) && !replace)
      RaiseFolderError(PathOf(name), EEXIST);
    if (!S_ISDIR(info.st_mode) && (::unlinkat(FHandle.Get(), name.c_str(), 0) != 0 ||
                                   ::mkdirat(FHandle.Get(), name.c_str(), NewFolderMode) != 0))
      RaiseFolderError(PathOf(name), errno);
  }
  TFileHandle handle(OpenFolderNoFollow(FHandle.Get(), name));
  if (!handle.IsOpen())
    RaiseFolderError(PathOf(name), errno);
  return TDiskFolder(std::move(handle), PathOf(name));
}

void TDiskFolder::WriteFile(const std::string& name, const std::string& bytes, bool replace,
                            const TDiskFileStatus& status) const {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  const mode_t mode = status.ReadOnly ? NewFileMode & ~WritePermissions : NewFileMode;
  TFileHandle handle(::openat(FHandle.Get(), name.c_str(), flags, mode));
  if (!handle.IsOpen() && errno == EEXIST && replace) {
    // Removing the name first replaces a link itself; a folder of that name stays and fails.
    if (::unlinkat(FHandle.Get(), name.c_str(), 0) != 0)
      RaiseCreateError(PathOf(name), errno);
    handle = TFileHandle(::openat(FHandle.Get(), name.c_str(), flags, mode));
  }
  if (!handle.IsOpen())
    RaiseCreateError(PathOf(name), errno);
  // What cannot be finished goes: a half file would pass for the book's.
  const auto fail = [&](const char* what, int code) {
    handle.Close();
    ::unlinkat(FHandle.Get(), name.c_str(), 0);
    throw EWriteError(Format(what, PathOf(name).c_str(), SysErrorMessage(code).c_str()));
  };
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(handle.Get(), bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      fail("Cannot write file \"%s\". %s", written < 0 ? errno : EIO);
    done += size_t(written);
  }
  if (status.Modified && !SetModifiedTime(handle.Get(), *status.Modified))
    fail("Cannot set the date of file \"%s\". %s", errno);
  if (!handle.CloseChecked())
    fail("Cannot write file \"%s\". %s", errno);
}

void TDiskFolder::SetModified(std::time_t modified) const {
  if (!SetModifiedTime(FHandle.Get(), modified))
    throw EWriteError(Format("Cannot set the date of folder \"%s\". %s", FPath.c_str(),
                             SysErrorMessage(errno).c_str()));
}

namespace {
// What is at path, a link not followed: nothing, a real folder, or something else.
enum TDiskPlace { dpFree, dpFolder, dpTaken };

TDiskPlace DiskPlaceAt(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0)
    return dpFree;
  return S_ISDIR(info.st_mode) ? dpFolder : dpTaken;
}

// The longest name the file system of path, or of its nearest existing parent, takes.
size_t LongestNameAt(std::filesystem::path path) {
  constexpr size_t Usual = 255; // what Linux file systems take, where none says
  for (;;) {
    const long longest = ::pathconf(path.c_str(), _PC_NAME_MAX);
    if (longest > 0)
      return size_t(longest);
    if (!path.has_parent_path() || path.parent_path() == path)
      return Usual;
    path = path.parent_path();
  }
}
} // namespace

TDiskTreeCheck::TDiskTreeCheck(const std::string& folder, bool replace)
    : FReplace(replace), FLongestName(LongestNameAt(folder.empty() ? "." : folder)) {
  FFolders.emplace_back(folder, DiskPlaceAt(folder) == dpFolder);
}

void TDiskTreeCheck::Add(const std::string& name, size_t depth, bool isFolder) {
  FFolders.resize(depth + 1);
  const auto& [parent, parentExists] = FFolders[depth];
  const std::string path =
      !parent.empty() && parent.back() == '/' ? parent + name : parent + "/" + name;
  if (name.size() > FLongestName)
    (isFolder ? RaiseFolderError : RaiseCreateError)(path, ENAMETOOLONG);
  const TDiskPlace place = parentExists ? DiskPlaceAt(path) : dpFree;
  if (place == dpFolder && !isFolder)
    RaiseCreateError(path, EISDIR); // no file replaces a folder
  if (place == dpTaken && !FReplace)
    (isFolder ? RaiseFolderError : RaiseCreateError)(path, EEXIST);
  if (isFolder)
    FFolders.emplace_back(path, place == dpFolder);
}
