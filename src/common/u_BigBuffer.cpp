#include "common/u_BigBuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <system_error>
#include <utility>

namespace {
constexpr uintptr_t PageSize = 4096;
// Below this a thread costs more than the faults it saves.
constexpr size_t MinPreparedSize = 16 << 20;
constexpr uintptr_t PreparedPiece = 2 << 20;
// Below this a call costs more than the faults it saves.
[[maybe_unused]] constexpr size_t MinPreparedPages = 4;

// The whole pages inside [from, from + count) as [start, end): advice on them touches no page
// of another owner.
std::pair<uintptr_t, uintptr_t> WholePagesIn(void* from, size_t count) {
  const uintptr_t start = (reinterpret_cast<uintptr_t>(from) + PageSize - 1) & ~(PageSize - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(from) + count) & ~(PageSize - 1);
  return {start, std::max(start, end)};
}
} // namespace

void PreparePages(void* from, size_t count) {
#ifdef MADV_POPULATE_WRITE
  const auto [start, end] = WholePagesIn(from, count);
  if (end >= start + MinPreparedPages * PageSize)
    (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else // the browser: its memory is there from the start
  (void)from;
  (void)count;
#endif
}

void ReleasePages(void* from, size_t count) {
  const auto [start, end] = WholePagesIn(from, count);
  if (end > start)
    (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

void GrowUnwritten(std::string& bytes, size_t size) {
  // The size is given back as it was asked: this library's version offers the operation the
  // capacity instead, which may be more.
#ifdef __cpp_lib_string_resize_and_overwrite
  bytes.resize_and_overwrite(size, [size](char*, size_t) { return size; });
#else // the browser's library (libc++ 13) has no such operation: zeros instead
  bytes.resize(size);
#endif
}

void ZeroBytes(void* from, size_t count) {
  auto* const first = static_cast<char*>(from);
  const auto [start, end] = WholePagesIn(from, count);
  if (end == start) {
    std::memset(first, 0, count);
    return;
  }
  std::memset(first, 0, start - reinterpret_cast<uintptr_t>(first));
  ReleasePages(reinterpret_cast<void*>(start), end - start);
  std::memset(reinterpret_cast<void*>(end), 0, reinterpret_cast<uintptr_t>(first) + count - end);
}

TBigBufferRoom::TBigBufferRoom(void* from, size_t count) {
  if (count < MinPreparedSize)
    return;
  const std::pair<uintptr_t, uintptr_t> pages = WholePagesIn(from, count);
  const uintptr_t start = pages.first, end = pages.second; // names a lambda can take
  try {
    // From the end backwards, so that it meets the caller's filling wherever that is by then.
    // Only a head start: a page it does not make ready is made on first touch as before.
    FWorker = std::thread([start, end] {
      for (uintptr_t to = end; to > start;) {
        const uintptr_t from = to - start > PreparedPiece ? to - PreparedPiece : start;
        PreparePages(reinterpret_cast<void*>(from), to - from);
        to = from;
      }
    });
  } catch (const std::system_error&) {
  }
}

TBigBufferRoom::~TBigBufferRoom() {
  if (FWorker.joinable())
    FWorker.join();
}
