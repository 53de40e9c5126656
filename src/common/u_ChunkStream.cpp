#include "common/u_ChunkStream.h"

#include <algorithm>
#include <cstring>

namespace {
// Large enough that a chunk costs little to keep track of, small enough that what is read
// goes soon.
constexpr size_t ChunkSize = 1 << 20;
} // namespace

int64_t TChunkStream::Write(const void* buffer, int64_t count) {
  const auto* bytes = static_cast<const char*>(buffer);
  for (int64_t left = std::max<int64_t>(count, 0); left > 0;) {
    if (FChunks.empty() || FChunks.back().size() == ChunkSize) {
      FChunks.emplace_back();
      FChunks.back().reserve(ChunkSize);
    }
    std::string& chunk = FChunks.back();
    const size_t n = std::min<size_t>(size_t(left), ChunkSize - chunk.size());
    chunk.append(bytes, n);
    bytes += n;
    left -= int64_t(n);
    FSize += int64_t(n);
  }
  return std::max<int64_t>(count, 0);
}

void TChunkStream::Visit(int64_t offset, const std::function<void(std::string_view)>& visit) const {
  int64_t start = FFirst;
  for (const std::string& chunk : FChunks) {
    const int64_t end = start + int64_t(chunk.size());
    if (offset < end)
      visit(std::string_view(chunk).substr(size_t(std::max<int64_t>(offset - start, 0))));
    start = end;
  }
}

void TChunkStream::Consume(int64_t count) {
  FPosition += count;
  while (!FChunks.empty() && FFirst + int64_t(FChunks.front().size()) <= FPosition &&
         FChunks.front().size() == ChunkSize) {
    FFirst += int64_t(ChunkSize);
    FChunks.pop_front();
  }
}

int64_t TChunkStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  int64_t start = FFirst;
  for (const std::string& chunk : FChunks) {
    if (done >= count)
      break;
    const int64_t end = start + int64_t(chunk.size());
    if (FPosition + done < end) {
      const int64_t into = FPosition + done - start;
      const int64_t n = std::min<int64_t>(count - done, end - (FPosition + done));
      std::memcpy(out + done, chunk.data() + into, size_t(n));
      done += n;
    }
    start = end;
  }
  Consume(done);
  return done;
}

int64_t TChunkStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : FSize;
  const int64_t target = std::clamp<int64_t>(base + offset, FPosition, FSize);
  Consume(target - FPosition);
  return FPosition;
}
