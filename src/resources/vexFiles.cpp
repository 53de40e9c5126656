#include "resources/vexFiles.h"

#include "resources/vexTypes.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
    : FTarget(target), FFolder(FolderOf(target)) {
  FFile.CreateUnnamed(FFolder, "new");
}

void TReplacementFile::Name() {
  FFile.Name();
}

void TReplacementFile::ReplaceTarget() {
  FFile.Name();
  FFile.RenameOver(FTarget);
  SyncFolder(FFolder);
}
