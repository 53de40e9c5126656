#include "resources/vexFiles.h"

#include "resources/vexStrings.h"
#include "resources/vexTypes.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

[[noreturn]] static void RaiseErrno(int code) {
  throw EVexError(code ? code : EIO, {});
}

int CreateExclusiveFile(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR);
  if (fd < 0)
    throw EVexError(errno, Format("cannot create \"%s\": %s", fileName.c_str(),
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
    throw EVexError(errno, {});
  return resolved;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

TMappedRange::TMappedRange(int fd, uint64_t offset, uint64_t size, bool mapFile)
    : FHandle(fd), FOffset(offset), FSize(size), FInMemory(!mapFile) {
  if (mapFile) {
    // Reserving the blocks first makes a full disk the ordinary "no space" error here; a
    // length set by ftruncate alone would end the process with SIGBUS at the first page written
    // that the file system then had no room for. The new length reads as zeros.
    if (const int code = ::posix_fallocate(fd, off_t(offset), off_t(size)); code != 0)
      throw EVexError(code, {});
    FLead = offset % uint64_t(::sysconf(_SC_PAGESIZE));
    void* view = ::mmap(nullptr, FLead + size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                        off_t(offset - FLead));
    if (view != MAP_FAILED) {
      FMapping = static_cast<uint8_t*>(view);
      return;
    }
    // Some file systems (network and user-space ones among them) map no file for writing.
    FLead = 0;
    FInMemory = true;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (view == MAP_FAILED)
    throw EVexError(errno, {});
  FMapping = static_cast<uint8_t*>(view);
}

TMappedRange::~TMappedRange() {
  ::munmap(FMapping, FLead + FSize);
}

void TMappedRange::Store() const {
  if (FInMemory)
    WriteAllAt(FHandle, View(), FSize, FOffset);
}

static void SyncFolder(const std::string& folder) {
  const TFileHandle handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The rename has happened; a folder that cannot be synced changes nothing.
  if (handle.IsOpen())
    ::fsync(handle.Get());
}

TReplacementFile::TReplacementFile(const std::string& target)
    : FTarget(target), FFolder(FolderOf(target)),
      FName(FFolder + "/$vex$new" + IntToHexText(uint32_t(::getpid()), 8, '0') + "$") {
  // A file of this name is left over from a killed process that had this process id: no live
  // process owns it.
  ::unlink(FName.c_str());
  FNameless =
      TFileHandle(::open(FFolder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!FNameless.IsOpen()) // no nameless files here: named from the start, removed on failure
    FNamed.Create(FName);
}

void TReplacementFile::ReplaceTarget() {
  if (FNameless.IsOpen()) {
    const std::string self = "/proc/self/fd/" + std::to_string(FNameless.Get());
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, FName.c_str(), AT_SYMLINK_FOLLOW) != 0)
      throw EVexError(errno, Format("the new file cannot be named \"%s\": %s", FName.c_str(),
                                    SysErrorMessage(errno).c_str()));
  }
  if (::rename(FName.c_str(), FTarget.c_str()) != 0) {
    const int code = errno;
    ::unlink(FName.c_str());
    throw EVexError(code, {});
  }
  FNamed.Keep();
  SyncFolder(FFolder);
}
