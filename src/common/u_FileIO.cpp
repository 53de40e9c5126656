#include "common/u_FileIO.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

[[noreturn]] static void RaiseErrno(int code) {
  throw EFileIOError(code ? code : EIO, {});
}

int CreateExclusiveFile(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR);
  if (fd < 0)
    throw EFileIOError(errno, Format("cannot create \"%s\": %s", fileName.c_str(),
                                     SysErrorMessage(errno).c_str()));
  return fd;
}

namespace {
constexpr const char* ScratchMarker = "$vex$";
// Names taken by a file or link already, or scratch files a sweep removed before their maker
// had them locked, are passed over; a folder that keeps refusing every name is given up on.
constexpr int MaxNameAttempts = 100;

std::string NewScratchName(const std::string& folder, const char* kind) {
  static std::atomic<uint64_t> serial{0};
  return Format("%s/%s%s$%08x$%llx$", folder.c_str(), ScratchMarker, kind, unsigned(::getpid()),
                static_cast<unsigned long long>(++serial));
}

// The lock that tells a live scratch file from an abandoned one: the whole file, write, held by
// the open file description, so by every holder of the handle and no one else.
bool LockScratch(int fd, int command, short type = F_WRLCK) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, command, &lock) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether name still names the file open as fd.
bool StillNamed(int fd, const std::string& name) {
  struct stat opened {
  }, named{};
  return ::fstat(fd, &opened) == 0 && ::lstat(name.c_str(), &named) == 0 && SameFile(opened, named);
}

int OpenNameless(const std::string& folder) {
  return ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
}
} // namespace

void RemoveAbandonedScratchFiles(const std::string& folder) {
  DIR* const dir = ::opendir(folder.c_str());
  if (!dir)
    return; // creating the scratch file there reports what is wrong
  const int at = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(ScratchMarker))
      continue;
    struct stat named {
    }, opened{};
    if (::fstatat(at, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode))
      continue;
    const TFileHandle file(
        ::openat(at, entry->d_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    // Removed only while this holds its lock and its name still names it: its maker checks
    // the same once it holds the lock, and makes another when this one came first.
    if (file.IsOpen() && LockScratch(file.Get(), F_OFD_SETLK) &&
        ::fstat(file.Get(), &opened) == 0 &&
        ::fstatat(at, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(opened, named))
      ::unlinkat(at, entry->d_name, 0);
  }
  ::closedir(dir);
}

void TScratchFile::Create(const std::string& folder, const char* kind) {
  RemoveAbandonedScratchFiles(folder);
  FFolder = folder;
  FKind = kind;
  for (int attempt = 1;; ++attempt) {
    std::string name = NewScratchName(folder, kind);
    TFileHandle file;
    try {
      file = TFileHandle(CreateExclusiveFile(name));
    } catch (const EFileIOError& e) {
      if (e.Code() != EEXIST || attempt == MaxNameAttempts)
        throw;
      continue;
    }
    // Waits only while a sweep looks at it; the sweep may have removed it before. A file
    // system without locks takes none: no sweep can lock such a file either, so it stays.
    while (!LockScratch(file.Get(), F_OFD_SETLKW) && errno == EINTR) {
    }
    if (StillNamed(file.Get(), name)) {
      FHandle = std::move(file);
      FFileName = std::move(name);
      return;
    }
    if (attempt == MaxNameAttempts)
      throw EFileIOError(ENOENT, Format("cannot keep a scratch file in \"%s\"", folder.c_str()));
  }
}

void TScratchFile::CreateNameless(const std::string& folder, const char* kind) {
  FHandle = TFileHandle(OpenNameless(folder));
  if (FHandle.IsOpen())
    return;
  Create(folder, kind);
  Unlink();
}

void TScratchFile::CreateUnnamed(const std::string& folder, const char* kind) {
  FHandle = TFileHandle(OpenNameless(folder));
  if (!FHandle.IsOpen()) {
    Create(folder, kind);
    return;
  }
  // Locked before it has a name, so no sweep can take it for abandoned once it has one (where
  // the file system has no locks, no sweep can lock it either).
  (void)LockScratch(FHandle.Get(), F_OFD_SETLK);
  // It is named here later: what a killed process left here goes now.
  RemoveAbandonedScratchFiles(folder);
  FFolder = folder;
  FKind = kind;
}

void TScratchFile::Name() {
  if (!FFileName.empty())
    return;
  const std::string self = "/proc/self/fd/" + std::to_string(FHandle.Get());
  for (int attempt = 1;; ++attempt) {
    std::string name = NewScratchName(FFolder, FKind);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      FFileName = std::move(name);
      return;
    }
    if (errno != EEXIST || attempt == MaxNameAttempts)
      throw EFileIOError(errno, Format("the new file cannot be named \"%s\": %s", name.c_str(),
                                       SysErrorMessage(errno).c_str()));
  }
}

void TScratchFile::RenameOver(const std::string& target) {
  if (::rename(FFileName.c_str(), target.c_str()) != 0)
    RaiseErrno(errno);
  FFileName.clear();
  // It is the target now: no lock of a scratch file stays on it.
  LockScratch(FHandle.Get(), F_OFD_SETLK, F_UNLCK);
}

void TScratchFile::Unlink() {
  if (!FFileName.empty())
    ::unlink(FFileName.c_str());
  FFileName.clear();
}

void TScratchFile::Close() {
  Unlink();
  FHandle.Close();
}

void WriteAllAt(int fd, const void* data, uint64_t count, uint64_t offset) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const ssize_t written = ::pwrite(fd, p, count, off_t(offset));
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      RaiseErrno(written < 0 ? errno : EIO);
    p += written;
    count -= uint64_t(written);
    offset += uint64_t(written);
  }
}

bool CopyRangeInKernel(int source, uint64_t from, int target, uint64_t to, uint64_t count) {
  auto in = loff_t(from), out = loff_t(to);
  while (count > 0) {
    const ssize_t copied = ::copy_file_range(source, &in, target, &out, count, 0);
    if (copied < 0 && errno == EINTR)
      continue;
    if (copied == 0 || (copied < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                                       errno == EINVAL || errno == EBADF)))
      return false;
    if (copied < 0)
      RaiseErrno(errno);
    count -= uint64_t(copied);
  }
  return true;
}

void ReadAllAt(int fd, void* data, uint64_t count, uint64_t offset) {
  uint8_t* p = static_cast<uint8_t*>(data);
  while (count > 0) {
    const ssize_t got = ::pread(fd, p, count, off_t(offset));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      RaiseErrno(got < 0 ? errno : EIO);
    p += got;
    count -= uint64_t(got);
    offset += uint64_t(got);
  }
}

void StartWriteback(int fd, uint64_t offset, uint64_t count) {
  // Only a head start for the flush that follows, which reports any failure.
  (void)::sync_file_range(fd, off_t(offset), off_t(count), SYNC_FILE_RANGE_WRITE);
}

void ReleaseMappedPages(const uint8_t* from, uint64_t count) {
  const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
  const uintptr_t start = uintptr_t(from) & ~(page - 1);
  const uintptr_t end = (uintptr_t(from) + count + page - 1) & ~(page - 1);
  // Only a saving: pages that stay mapped are as good, so a failure changes nothing.
  (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

std::string ResolvedPath(const std::string& fileName) {
  char resolved[PATH_MAX];
  if (!::realpath(fileName.c_str(), resolved))
    throw EFileIOError(errno, {});
  return resolved;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}
