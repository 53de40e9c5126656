#include "common/u_FileSnapshot.h"

#include "common/u_FileIO.h"
#include "common/u_Files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace {
const char* const SFileChanged = "The file \"%s\" changed on disk since it was opened";

[[noreturn]] void RaiseChanged(const std::string& path) {
  throw EFileChanged(Format(SFileChanged, path.c_str()));
}

struct stat StatOf(int handle, const std::string& path) {
  struct stat info;
  if (::fstat(handle, &info) != 0) {
    const std::string reason = SysErrorMessage(errno);
    throw EFOpenError(Format(SFOpenErrorEx, path.c_str(), reason.c_str()));
  }
  return info;
}
} // namespace

TFileIdentity TFileIdentity::Of(const struct stat& info) {
  return {info.st_dev, info.st_ino, uint64_t(info.st_size), info.st_mtim, info.st_mode,
          info.st_uid, info.st_gid};
}

bool TFileIdentity::SameAs(const TFileIdentity& other) const {
  return Device == other.Device && Inode == other.Inode && Size == other.Size &&
         Modified.tv_sec == other.Modified.tv_sec && Modified.tv_nsec == other.Modified.tv_nsec;
}

void CheckFileUnchanged(const std::string& path, const TFileIdentity& identity) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !TFileIdentity::Of(info).SameAs(identity))
    RaiseChanged(path);
}

void CheckOpenFileUnchanged(int handle, const std::string& path, const TFileIdentity& identity) {
  struct stat info;
  if (::fstat(handle, &info) != 0 || !TFileIdentity::Of(info).SameAs(identity))
    RaiseChanged(path);
}

TOpenedFile TOpenedFile::Open(const std::string& path) {
  // Without waiting: opening a FIFO would wait for a writer, a device could be anything.
  TOpenedFile file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.IsOpen()) {
    const std::string reason = SysErrorMessage(errno);
    throw EFOpenError(Format(SFOpenErrorEx, path.c_str(), reason.c_str()));
  }
  const struct stat info = StatOf(file.Handle(), path);
  if (!S_ISREG(info.st_mode))
    throw EFOpenError(
        Format(SFOpenErrorEx, path.c_str(),
               S_ISDIR(info.st_mode) ? "It is a folder." : "It is not a regular file."));
  return file;
}

TOpenedFile TOpenedFile::Lock(const std::string& path, const std::function<void()>& whileWaiting) {
  for (;;) {
    TOpenedFile file = Open(path);
    while (::flock(file.Handle(), LOCK_EX) != 0) {
      const int code = errno;
      if (code != EINTR) {
        const std::string reason = SysErrorMessage(code);
        throw EFOpenError(Format(SFOpenErrorEx, path.c_str(), reason.c_str()));
      }
      if (whileWaiting)
        whileWaiting();
    }
    file.FLocked = true;
    // Whoever held the lock may have renamed a new file over this one: that one is the book.
    struct stat named;
    const struct stat held = StatOf(file.Handle(), path);
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino)
      return file;
  }
}

TOpenedFile::TOpenedFile(TOpenedFile&& other) noexcept
    : FHandle(std::move(other.FHandle)), FLocked(std::exchange(other.FLocked, false)) {}

TOpenedFile& TOpenedFile::operator=(TOpenedFile&& other) noexcept {
  if (this != &other) {
    FHandle = std::move(other.FHandle);
    FLocked = std::exchange(other.FLocked, false);
  }
  return *this;
}

void TOpenedFile::Close() {
  FHandle.Close(); // lets go of the lock with it
  FLocked = false;
}

TFileSnapshot ReadWrittenFile(const TWrittenFile& file, const std::string& path, size_t limit) {
  TFileSnapshot snapshot = ReadFileSnapshot(file.Handle.Get(), path, limit);
  if (!snapshot.Identity.SameAs(file.Identity))
    RaiseChanged(path);
  return snapshot;
}

TFileSnapshot ReadFileSnapshot(int handle, const std::string& path, size_t limit) {
  const TFileIdentity before = TFileIdentity::Of(StatOf(handle, path));
  if (::lseek(handle, 0, SEEK_SET) != 0) {
    const std::string reason = SysErrorMessage(errno);
    throw EReadError(Format("Cannot read file \"%s\". %s", path.c_str(), reason.c_str()));
  }
  TFileSnapshot snapshot{ReadHandleToEnd(handle, path, limit), {}};
  snapshot.Identity = TFileIdentity::Of(StatOf(handle, path));
  if (!snapshot.Identity.SameAs(before) || snapshot.Bytes.size() != snapshot.Identity.Size)
    RaiseChanged(path);
  return snapshot;
}

