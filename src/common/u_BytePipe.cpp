#include "common/u_BytePipe.h"

#include <algorithm>
#include <cstring>

namespace {
// Room for 32 of the inflater's 32 KiB blocks: enough that neither side waits on the other's
// hiccups, small enough to stay in the processors' caches as the bytes pass between cores
// (a 4 MiB ring was slower).
constexpr size_t RingSize = 1 << 20;
// A sleeping side is woken once this much is there for it (or all it asked for, if less).
constexpr size_t WakeSize = RingSize / 8;
} // namespace

// The ring is not zeroed: every byte is written before it is read, and the pages a small
// book's bytes never reach are never touched.
TBytePipe::TBytePipe(int64_t bound)
    : FRing(new char[RingSize]), FBound(std::max<int64_t>(bound, 0)) {}

int64_t TBytePipe::Read(void* buffer, int64_t count) {
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  std::unique_lock<std::mutex> lock(FLock);
  while (done < count) {
    if (FCount == 0 && !FWriterDone) {
      FReaderWants = std::min(size_t(std::min<int64_t>(count - done, INT32_MAX)), WakeSize);
      FReadable.wait(lock, [this] { return FReaderWants == 0; });
    }
    if (FCount == 0)
      break;
    // The contiguous run from the head: up to the ring's end, then around.
    const size_t n = std::min(
        {FCount, RingSize - FHead, size_t(std::min<int64_t>(count - done, INT32_MAX))});
    std::memcpy(out + done, FRing.get() + FHead, n);
    FHead = (FHead + n) % RingSize;
    FCount -= n;
    done += int64_t(n);
    FPosition += int64_t(n);
    if (FWriterWants > 0 && RingSize - FCount >= FWriterWants) {
      FWriterWants = 0;
      FWritable.notify_one();
    }
  }
  return done;
}

int64_t TBytePipe::Write(const void* buffer, int64_t count) {
  const auto* in = static_cast<const char*>(buffer);
  std::unique_lock<std::mutex> lock(FLock);
  const int64_t kept = std::max<int64_t>(count, 0);
  if (kept > FBound - FWritten)
    throw EWriteError(SWriteError);
  for (int64_t done = 0; done < kept && !FReaderDone;) {
    if (FCount == RingSize) {
      FWriterWants = std::min(size_t(kept - done), WakeSize);
      FWritable.wait(lock, [this] { return FWriterWants == 0; });
      continue;
    }
    const size_t tail = (FHead + FCount) % RingSize;
    const size_t room = std::min(RingSize - FCount, RingSize - tail);
    const size_t n = std::min(room, size_t(kept - done));
    std::memcpy(FRing.get() + tail, in + done, n);
    FCount += n;
    done += int64_t(n);
    if (FReaderWants > 0 && FCount >= FReaderWants) {
      FReaderWants = 0;
      FReadable.notify_one();
    }
  }
  if (FReaderDone)
    throw EWriteError(SWriteError);
  FWritten += kept;
  return kept;
}

int64_t TBytePipe::Seek(int64_t offset, TSeekOrigin origin) {
  std::lock_guard<std::mutex> lock(FLock);
  if (offset != 0 || origin != soCurrent)
    throw EReadError(SReadError);
  return FPosition;
}

void TBytePipe::CloseWriting() {
  std::lock_guard<std::mutex> lock(FLock);
  FWriterDone = true;
  FReaderWants = 0;
  FReadable.notify_one();
}

bool TBytePipe::ReadingClosed() {
  std::lock_guard<std::mutex> lock(FLock);
  return FReaderDone;
}

void TBytePipe::CloseReading() {
  std::lock_guard<std::mutex> lock(FLock);
  FReaderDone = true;
  FCount = 0;
  FWriterWants = 0;
  FWritable.notify_one();
}
