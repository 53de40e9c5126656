#include "common/u_FileIO.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
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

void TScratchFile::CreateNameless(const std::string& folder, const std::string& fallbackName) {
  FHandle = TFileHandle(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (FHandle.IsOpen())
    return;
  Create(fallbackName);
  Unlink();
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
