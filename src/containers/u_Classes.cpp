#include "containers/u_Classes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

[[noreturn]] void RaiseListError(const char* message, int32_t value) {
  throw EListError(Format(message, static_cast<int>(value)));
}

constexpr const char* SListIndexError = "List index out of bounds (%d)";
constexpr const char* SListCapacityError = "List capacity out of bounds (%d)";
constexpr const char* SListCountError = "List count out of bounds (%d)";

} // namespace

template <typename TValue> TBoundedList<TValue>::~TBoundedList() {
  std::free(FItems);
}

template <typename TValue> TBoundedList<TValue>::TBoundedList(const TBoundedList& other) {
  SetCapacity(other.FCount);
  if (other.FCount > 0)
    std::memcpy(FItems, other.FItems, sizeof(TValue) * other.FCount);
  FCount = other.FCount;
}

template <typename TValue>
TBoundedList<TValue>& TBoundedList<TValue>::operator=(const TBoundedList& other) {
  if (this != &other) {
    TBoundedList copy(other);
    *this = std::move(copy);
  }
  return *this;
}

template <typename TValue>
TBoundedList<TValue>::TBoundedList(TBoundedList&& other) noexcept
    : FItems(std::exchange(other.FItems, nullptr)), FCount(std::exchange(other.FCount, 0)),
      FCapacity(std::exchange(other.FCapacity, 0)) {}

template <typename TValue>
TBoundedList<TValue>& TBoundedList<TValue>::operator=(TBoundedList&& other) noexcept {
  if (this != &other) {
    std::free(FItems);
    FItems = std::exchange(other.FItems, nullptr);
    FCount = std::exchange(other.FCount, 0);
    FCapacity = std::exchange(other.FCapacity, 0);
  }
  return *this;
}

template <typename TValue> int32_t TBoundedList<TValue>::Add(TValue value) {
  if (FCount == FCapacity)
    Grow();
  FItems[FCount] = value;
  return FCount++;
}

template <typename TValue> TValue TBoundedList<TValue>::Items(int32_t index) const {
  if (index < 0 || index >= FCount)
    RaiseListError(SListIndexError, index);
  return FItems[index];
}

template <typename TValue> void TBoundedList<TValue>::SetItems(int32_t index, TValue value) {
  if (index < 0 || index >= FCount)
    RaiseListError(SListIndexError, index);
  FItems[index] = value;
}

template <typename TValue> void TBoundedList<TValue>::Delete(int32_t index) {
  if (index < 0 || index >= FCount)
    RaiseListError(SListIndexError, index);
  --FCount;
  if (index < FCount)
    std::memmove(FItems + index, FItems + index + 1, sizeof(TValue) * (FCount - index));
}

template <typename TValue> void TBoundedList<TValue>::Clear() {
  FCount = 0;
  SetCapacity(0);
}

template <typename TValue> void TBoundedList<TValue>::SetCount(int32_t newCount) {
  if (newCount < 0 || newCount > MaxListSize)
    RaiseListError(SListCountError, newCount);
  if (newCount > FCapacity)
    SetCapacity(newCount);
  if (newCount > FCount)
    std::memset(FItems + FCount, 0, sizeof(TValue) * (newCount - FCount));
  FCount = newCount;
}

template <typename TValue> void TBoundedList<TValue>::SetCapacity(int32_t newCapacity) {
  if (newCapacity < FCount || newCapacity > MaxListSize)
    RaiseListError(SListCapacityError, newCapacity);
  if (newCapacity == FCapacity)
    return;
  if (newCapacity == 0) {
    std::free(FItems);
    FItems = nullptr;
  } else {
    void* items = std::realloc(FItems, sizeof(TValue) * newCapacity);
    if (items == nullptr)
      throw std::bad_alloc();
    FItems = static_cast<TValue*>(items);
  }
  FCapacity = newCapacity;
}

template <typename TValue> void TBoundedList<TValue>::Grow() {
  int32_t delta;
  if (FCapacity > 64)
    delta = FCapacity / 4;
  else if (FCapacity > 8)
    delta = 16;
  else
    delta = 4;
  // Past the limit SetCapacity raises the capacity error, as a full list should.
  SetCapacity(static_cast<int32_t>(
      std::min<int64_t>(int64_t{FCapacity} + delta, MaxListSize + int64_t{1})));
}

template class TBoundedList<int32_t>;
template class TBoundedList<intptr_t>;
