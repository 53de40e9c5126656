#include "common/u_BigBuffer.h"

#include <cstdint>
#include <sys/mman.h>

namespace {
constexpr uintptr_t HugePageSize = uintptr_t(2) << 20;
constexpr uintptr_t PageSize = 4096;
} // namespace

void ReserveBig(std::string& bytes, size_t capacity) {
  bytes.reserve(capacity);
  if (bytes.capacity() < 2 * HugePageSize)
    return;
  // Only whole pages of the buffer itself are advised; the advice is a hint, so its failure
  // (no huge pages on this system) changes nothing.
  const auto start = (reinterpret_cast<uintptr_t>(bytes.data()) + PageSize - 1) & ~(PageSize - 1);
  const auto end = (reinterpret_cast<uintptr_t>(bytes.data()) + bytes.capacity()) & ~(PageSize - 1);
  if (end > start)
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}
