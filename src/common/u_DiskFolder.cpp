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

[[noreturn]] void RaiseCreateError(const std::string& path, int code) {
  throw EFCreateError(Format(SFCreateErrorEx, path.c_str(), SysErrorMessage(code).c_str()));
}

int OpenFolderNoFollow(int parent, const std::string& name) {
  return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

TDiskFolder TDiskFolder::OpenOrCreate(const std::string& path) {
  std::error_code ignored; // a folder that cannot be made shows up when it is opened
  std::filesystem::create_directories(path, ignored);
  const int handle = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0)
    RaiseCreateError(path, errno);
  return TDiskFolder(handle, path);
}

TDiskFolder::~TDiskFolder() {
  if (FHandle >= 0)
    ::close(FHandle);
}

TDiskFolder::TDiskFolder(TDiskFolder&& other) noexcept
    : FHandle(other.FHandle), FPath(std::move(other.FPath)) {
  other.FHandle = -1;
}

std::string TDiskFolder::PathOf(const std::string& name) const {
  return !FPath.empty() && FPath.back() == '/' ? FPath + name : FPath + "/" + name;
}

TDiskFolder TDiskFolder::Subfolder(const std::string& name, bool replace) const {
  if (::mkdirat(FHandle, name.c_str(), NewFolderMode) != 0) {
    const int code = errno;
    struct stat info;
    if (code != EEXIST || !replace || ::fstatat(FHandle, name.c_str(), &info, AT_SYMLINK_NOFOLLOW))
      RaiseCreateError(PathOf(name), code);
    if (S_ISLNK(info.st_mode) && (::unlinkat(FHandle, name.c_str(), 0) != 0 ||
                                  ::mkdirat(FHandle, name.c_str(), NewFolderMode) != 0))
      RaiseCreateError(PathOf(name), errno);
  }
  const int handle = OpenFolderNoFollow(FHandle, name);
  if (handle < 0)
    RaiseCreateError(PathOf(name), errno);
  return TDiskFolder(handle, PathOf(name));
}

void TDiskFolder::WriteFile(const std::string& name, const std::string& bytes, bool replace) const {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int handle = ::openat(FHandle, name.c_str(), flags, NewFileMode);
  if (handle < 0 && errno == EEXIST && replace) {
    // Removing the name first replaces a link itself; a folder of that name stays and fails.
    if (::unlinkat(FHandle, name.c_str(), 0) != 0)
      RaiseCreateError(PathOf(name), errno);
    handle = ::openat(FHandle, name.c_str(), flags, NewFileMode);
  }
  if (handle < 0)
    RaiseCreateError(PathOf(name), errno);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(handle, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0) {
      const int code = written < 0 ? errno : EIO;
      ::close(handle);
      throw EWriteError(Format("Cannot write file \"%s\". %s", PathOf(name).c_str(),
                               SysErrorMessage(code).c_str()));
    }
    done += size_t(written);
  }
  if (::close(handle) != 0)
    RaiseCreateError(PathOf(name), errno);
}
