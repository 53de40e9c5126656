#include "common/u_Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
// Large enough that copying a big file costs few calls, small enough to stay off the peak.
constexpr int64_t CopyChunkSize = 1 << 20;

// Repeats a read or write call until count bytes have passed, the file ends or it fails;
// returns how many passed.
template <typename TTransfer> int64_t TransferAll(int64_t count, TTransfer transfer) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = transfer(done, size_t(count - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += n;
  }
  return done;
}
} // namespace

int64_t TStream::Size() {
  const int64_t position = Seek(0, soCurrent);
  const int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count)
    throw EReadError(SReadError);
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count)
    throw EWriteError(SWriteError);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<char> chunk(size_t(std::min(count, CopyChunkSize)));
  int64_t left = count;
  while (left > 0) {
    const int64_t part = std::min(left, int64_t(chunk.size()));
    source.ReadBuffer(chunk.data(), part);
    WriteBuffer(chunk.data(), part);
    left -= part;
  }
  return count;
}

std::string TStream::ReadRest() {
  const int64_t position = Position();
  const int64_t size = Size();
  std::string bytes(size_t(std::max<int64_t>(size - position, 0)), '\0');
  ReadBuffer(bytes.data(), int64_t(bytes.size()));
  return bytes;
}

int64_t ReadBytesAt(std::string_view bytes, int64_t& position, void* buffer, int64_t count) {
  // The string may have been cut below the position by another user of it.
  const int64_t available = std::max<int64_t>(int64_t(bytes.size()) - position, 0);
  const int64_t n = std::clamp<int64_t>(count, 0, available);
  if (n > 0)
    std::memcpy(buffer, bytes.data() + position, size_t(n));
  position += n;
  return n;
}

int64_t WriteBytesAt(std::string& bytes, int64_t& position, const void* buffer, int64_t count) {
  if (count <= 0)
    return 0;
  const size_t at = size_t(position);
  if (at > bytes.size())
    bytes.resize(at);
  const size_t overwrite = std::min(size_t(count), bytes.size() - at);
  std::memcpy(bytes.data() + at, buffer, overwrite);
  bytes.append(static_cast<const char*>(buffer) + overwrite, size_t(count) - overwrite);
  position += count;
  return count;
}

int64_t TStringStream::Read(void* buffer, int64_t count) {
  return ReadBytesAt(FData, FPosition, buffer, count);
}

int64_t TStringStream::Write(const void* buffer, int64_t count) {
  return WriteBytesAt(FData, FPosition, buffer, count);
}

// Where a seek over size bytes lands when the end origin adds the offset to the size.
static int64_t SeekTarget(int64_t position, int64_t size, int64_t offset, TSeekOrigin origin) {
  int64_t target = position;
  switch (origin) {
  case soBeginning:
    target = offset;
    break;
  case soCurrent:
    target = position + offset;
    break;
  case soEnd:
    target = size + offset;
    break;
  }
  return std::max<int64_t>(target, 0);
}

int64_t TStringStream::Seek(int64_t offset, TSeekOrigin origin) {
  FPosition = SeekTarget(FPosition, int64_t(FData.size()), offset, origin);
  return FPosition;
}

void TStringStream::SetSize(int64_t newSize) {
  FData.resize(size_t(std::max<int64_t>(newSize, 0)));
  FPosition = std::min<int64_t>(FPosition, int64_t(FData.size()));
}

std::string TStringStream::TakeDataString() {
  FPosition = 0;
  return std::exchange(FData, {});
}

int64_t TByteViewStream::Read(void* buffer, int64_t count) {
  return ReadBytesAt(FBytes, FPosition, buffer, count);
}

int64_t TByteViewStream::Seek(int64_t offset, TSeekOrigin origin) {
  FPosition = SeekTarget(FPosition, int64_t(FBytes.size()), offset, origin);
  return FPosition;
}

int64_t TFilePartStream::Read(void* buffer, int64_t count) {
  const int64_t wanted = std::clamp<int64_t>(count, 0, std::max<int64_t>(FSize - FPosition, 0));
  const int64_t n = TransferAll(wanted, [&](int64_t done, size_t left) {
    return ::pread(FHandle, static_cast<char*>(buffer) + done, left,
                   off_t(FOffset + uint64_t(FPosition + done)));
  });
  FPosition += n;
  return n;
}

int64_t TFilePartStream::Seek(int64_t offset, TSeekOrigin origin) {
  FPosition = SeekTarget(FPosition, FSize, offset, origin);
  return FPosition;
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : FFileName(fileName) {
  int flags = O_CLOEXEC;
  switch (mode) {
  case fmOpenRead:
    flags |= O_RDONLY;
    break;
  case fmOpenWrite:
    flags |= O_WRONLY;
    break;
  case fmOpenReadWrite:
    flags |= O_RDWR;
    break;
  case fmCreate:
    flags |= O_RDWR | O_CREAT | O_TRUNC;
    break;
  }
  FHandle = TFileHandle(::open(fileName.c_str(), flags, 0666));
  if (!FHandle.IsOpen()) {
    const std::string reason = SysErrorMessage(errno);
    if (mode == fmCreate)
      throw EFCreateError(Format(SFCreateErrorEx, fileName.c_str(), reason.c_str()));
    throw EFOpenError(Format(SFOpenErrorEx, fileName.c_str(), reason.c_str()));
  }
}

TFileStream::TFileStream(TFileHandle handle, std::string fileName)
    : FFileName(std::move(fileName)), FHandle(std::move(handle)) {}

TFileStream::~TFileStream() = default;

int64_t TFileStream::Read(void* buffer, int64_t count) {
  return TransferAll(count, [&](int64_t done, size_t left) {
    return ::read(FHandle.Get(), static_cast<char*>(buffer) + done, left);
  });
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  errno = 0;
  const int64_t written = TransferAll(count, [&](int64_t done, size_t left) {
    return ::write(FHandle.Get(), static_cast<const char*>(buffer) + done, left);
  });
  // The system's cause ("No space left on device") is the one thing worth telling of a failed
  // write: a short count alone loses it.
  if (written < count && errno != 0)
    throw EWriteError(SysErrorMessage(errno));
  return written;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  const off_t position = ::lseek(FHandle.Get(), off_t(offset), whence);
  if (position < 0)
    return ::lseek(FHandle.Get(), 0, SEEK_CUR);
  return position;
}

void TFileStream::SetSize(int64_t newSize) {
  if (::ftruncate(FHandle.Get(), off_t(newSize)) != 0)
    RaiseLastOSError();
  if (Position() > newSize)
    Seek(0, soEnd);
}
