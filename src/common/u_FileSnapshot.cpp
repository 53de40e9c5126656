#include "common/u_FileSnapshot.h"

#include "common/u_BigBuffer.h"
#include "common/u_FileIO.h"
#include "common/u_Files.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {
const char* const SFileChanged = "The file \"%s\" changed on disk since it was opened";
// How long a wait for a book's lock goes without asking its waiter whether to give up: a
// window's Cancel is seen within this, and no thread spins meanwhile.
constexpr std::chrono::milliseconds LockWaitLookIn(50);

struct stat StatOf(int handle, const std::string& path) {
  struct stat info;
  if (::fstat(handle, &info) != 0) {
    const std::string reason = SysErrorMessage(errno);
    throw EFOpenError(Format(SFOpenErrorEx, path.c_str(), reason.c_str()));
  }
  return info;
}
} // namespace

void RaiseFileChanged(const std::string& path) {
  throw EFileChanged(Format(SFileChanged, path.c_str()));
}

TFileIdentity TFileIdentity::Of(const struct stat& info) {
  return {info.st_dev, info.st_ino, uint64_t(info.st_size), info.st_mtim, info.st_mode, info.st_uid,
          info.st_gid, info.st_ctim};
}

bool TFileIdentity::SameAs(const TFileIdentity& other) const {
  return Device == other.Device && Inode == other.Inode && Size == other.Size &&
         Modified.tv_sec == other.Modified.tv_sec && Modified.tv_nsec == other.Modified.tv_nsec;
}

bool TFileIdentity::SameStatusAs(const TFileIdentity& other) const {
  return SameAs(other) && StatusChanged.tv_sec == other.StatusChanged.tv_sec &&
         StatusChanged.tv_nsec == other.StatusChanged.tv_nsec;
}

TFileIdentity CurrentIdentity(const std::string& path, const TFileIdentity& identity) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !TFileIdentity::Of(info).SameAs(identity))
    RaiseFileChanged(path);
  return TFileIdentity::Of(info);
}

void CheckFileUnchanged(const std::string& path, const TFileIdentity& identity) {
  (void)CurrentIdentity(path, identity);
}

void CheckOpenFileUnchanged(int handle, const std::string& path, const TFileIdentity& identity) {
  struct stat info;
  if (::fstat(handle, &info) != 0 || !TFileIdentity::Of(info).SameAs(identity))
    RaiseFileChanged(path);
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
    // A waiter that may give up is asked every moment; a blocking wait would only end for a
    // signal.
    const int operation = whileWaiting ? LOCK_EX | LOCK_NB : LOCK_EX;
    while (::flock(file.Handle(), operation) != 0) {
      const int code = errno;
      if (code != EINTR && code != EWOULDBLOCK) {
        const std::string reason = SysErrorMessage(code);
        throw EFOpenError(Format(SFOpenErrorEx, path.c_str(), reason.c_str()));
      }
      if (whileWaiting) {
        whileWaiting();
        if (code == EWOULDBLOCK)
          std::this_thread::sleep_for(LockWaitLookIn);
      }
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
    RaiseFileChanged(path);
  return snapshot;
}

TFileSnapshot ReadFileSnapshot(int handle, const std::string& path, size_t limit) {
  return TSnapshotReader(handle, path, limit).Finish();
}

TSnapshotReader::TSnapshotReader(int handle, const std::string& path, size_t limit)
    : FHandle(handle), FPath(path), FIdentity(TFileIdentity::Of(StatOf(handle, path))) {
  if (FIdentity.Size > limit)
    throw EReadError(
        Format("Cannot read file \"%s\". It holds more than %zu MB.", path.c_str(), limit >> 20));
  // The room is not written here: a page is touched first by the bytes read into it. Memory
  // used before is made zeros the same way as fresh memory is.
  GrowUnwritten(FBytes, size_t(FIdentity.Size));
  ZeroBytes(FBytes.data(), FBytes.size());
}

namespace {
// range clipped to a file of size bytes, as [from, to).
std::pair<uint64_t, uint64_t> Clipped(const TFileRange& range, uint64_t size) {
  const uint64_t from = std::min(range.Offset, size);
  return {from, from + std::min(range.Size, size - from)};
}
} // namespace

bool TSnapshotReader::HasRead(const TFileRange& range) const {
  const auto [from, to] = Clipped(range, FBytes.size());
  if (from == to)
    return true;
  // Read parts never touch each other, so one of them holds the whole range or none does.
  const auto after = std::upper_bound(
      FRead.begin(), FRead.end(), from,
      [](uint64_t offset, const TFileRange& part) { return offset < part.Offset; });
  return after != FRead.begin() && std::prev(after)->Offset + std::prev(after)->Size >= to;
}

void TSnapshotReader::Read(const TFileRange& range) {
  const auto [from, to] = Clipped(range, FBytes.size());
  if (from == to)
    return;
  uint64_t at = from;
  for (const TFileRange& part : FRead) {
    if (part.Offset >= to)
      break;
    if (part.Offset > at)
      ReadGap(at, part.Offset);
    at = std::max(at, part.Offset + part.Size);
  }
  if (at < to)
    ReadGap(at, to);
  FRead.push_back({from, to - from});
  std::sort(FRead.begin(), FRead.end(),
            [](const TFileRange& a, const TFileRange& b) { return a.Offset < b.Offset; });
  std::vector<TFileRange> joined;
  for (const TFileRange& part : FRead) {
    if (!joined.empty() && part.Offset <= joined.back().Offset + joined.back().Size)
      joined.back().Size =
          std::max(joined.back().Offset + joined.back().Size, part.Offset + part.Size) -
          joined.back().Offset;
    else
      joined.push_back(part);
  }
  FRead = std::move(joined);
}

void TSnapshotReader::ReadGap(uint64_t from, uint64_t to) {
  const TBigBufferRoom room(FBytes.data() + from, size_t(to - from));
  try {
    ReadAllAt(FHandle, FBytes.data() + from, to - from, from);
  } catch (const EFileIOError& e) {
    CheckOpenFileUnchanged(FHandle, FPath, FIdentity); // a file cut short says so
    throw EReadError(Format("Cannot read file \"%s\". %s", FPath.c_str(), e.Message().c_str()));
  }
}

TFileSnapshot TSnapshotReader::Finish(const TFileRange& skip) {
  const auto [from, to] = Clipped(skip, FBytes.size());
  Read({0, from});
  Read({to, FBytes.size() - to});
  // Probing may have read into it.
  ZeroBytes(FBytes.data() + from, size_t(to - from));
  TFileSnapshot snapshot{std::move(FBytes), TFileIdentity::Of(StatOf(FHandle, FPath))};
  if (!snapshot.Identity.SameAs(FIdentity))
    RaiseFileChanged(FPath);
  return snapshot;
}
