#pragma once
// Growable arrays whose accessors check every index: TIntegerList holds 32-bit values,
// TPointerList pointer-sized ones (what the dictionaries hand out as values).
// Errors: EListError "List index out of bounds (%d)", "List capacity out of bounds (%d)",
// "List count out of bounds (%d)". Count and Capacity never exceed 134,217,727.

#include "common/u_SysUtils.h"

#include <cstdint>

template <typename TValue> class TBoundedList {
public:
  static constexpr int32_t MaxListSize = 134217727; // 2^27 - 1

  TBoundedList() = default;
  ~TBoundedList();
  TBoundedList(const TBoundedList& other);
  TBoundedList& operator=(const TBoundedList& other);
  TBoundedList(TBoundedList&& other) noexcept;
  TBoundedList& operator=(TBoundedList&& other) noexcept;

  int32_t Add(TValue value);
  TValue Items(int32_t index) const;
  void SetItems(int32_t index, TValue value);
  void Delete(int32_t index);
  void Clear();

  int32_t Count() const { return FCount; }
  void SetCount(int32_t newCount);
  int32_t Capacity() const { return FCapacity; }
  void SetCapacity(int32_t newCapacity);

private:
  void Grow();
  TValue* FItems = nullptr;
  int32_t FCount = 0;
  int32_t FCapacity = 0;
};

using TIntegerList = TBoundedList<int32_t>;
using TPointerList = TBoundedList<intptr_t>;

extern template class TBoundedList<int32_t>;
extern template class TBoundedList<intptr_t>;
