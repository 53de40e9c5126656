#include "containers/u_Classes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

template <typename TList>
void ExpectItems(const TList& list, const std::vector<int64_t>& expected) {
  ASSERT_EQ(list.Count(), static_cast<int32_t>(expected.size()));
  for (int32_t i = 0; i < list.Count(); ++i)
    EXPECT_EQ(list.Items(i), expected[static_cast<size_t>(i)]) << "index " << i;
}

template <typename TCall> std::string ListErrorOf(TCall call) {
  try {
    call();
  } catch (const EListError& error) {
    return error.Message();
  }
  return "no EListError";
}

} // namespace

TEST(IntegerList, GrowsInTheFixedSteps) {
  TIntegerList list;
  std::vector<int32_t> capacities{list.Capacity()};
  for (int32_t i = 0; i < 100; ++i) {
    list.Add(i);
    if (list.Capacity() != capacities.back())
      capacities.push_back(list.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{0, 4, 8, 12, 28, 44, 60, 76, 95, 118}));
  EXPECT_EQ(list.Items(99), 99);
}

TEST(IntegerList, AddReturnsTheIndexUsed) {
  TIntegerList list;
  EXPECT_EQ(list.Add(7), 0);
  EXPECT_EQ(list.Add(-7), 1);
  ExpectItems(list, {7, -7});
}

TEST(IntegerList, IndexesOutsideTheBoundsRaiseWithTheIndex) {
  TIntegerList list;
  list.Add(1);
  list.Add(2);
  EXPECT_EQ(ListErrorOf([&] { list.Items(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ListErrorOf([&] { list.Items(2); }), "List index out of bounds (2)");
  EXPECT_EQ(ListErrorOf([&] { list.SetItems(2, 0); }), "List index out of bounds (2)");
  EXPECT_EQ(ListErrorOf([&] { list.Delete(2); }), "List index out of bounds (2)");
  EXPECT_EQ(ListErrorOf([&] { list.Delete(-1); }), "List index out of bounds (-1)");
  ExpectItems(list, {1, 2});
}

TEST(IntegerList, DeleteMovesTheFollowingValuesDown) {
  TIntegerList list;
  for (int32_t value : {10, 20, 30})
    list.Add(value);
  list.Delete(2);
  ExpectItems(list, {10, 20});
  list.Add(30);
  list.Delete(0);
  ExpectItems(list, {20, 30});
}

TEST(IntegerList, CountChangesZeroFillAndCheckTheLimits) {
  TIntegerList list;
  list.Add(1);
  list.Add(2);
  list.SetCount(5);
  ExpectItems(list, {1, 2, 0, 0, 0});
  list.SetCount(1);
  ExpectItems(list, {1});
  // Values dropped by shrinking do not come back when the list grows again.
  list.SetCount(3);
  ExpectItems(list, {1, 0, 0});
  EXPECT_EQ(ListErrorOf([&] { list.SetCount(-1); }), "List count out of bounds (-1)");
  EXPECT_EQ(ListErrorOf([&] { list.SetCount(TIntegerList::MaxListSize + 1); }),
            "List count out of bounds (134217728)");
  ExpectItems(list, {1, 0, 0});
}

TEST(IntegerList, CapacityChangesCheckCountAndLimit) {
  TIntegerList list;
  for (int32_t value : {1, 2, 3})
    list.Add(value);
  const int32_t capacity = list.Capacity();
  EXPECT_EQ(ListErrorOf([&] { list.SetCapacity(2); }), "List capacity out of bounds (2)");
  EXPECT_EQ(ListErrorOf([&] { list.SetCapacity(TIntegerList::MaxListSize + 1); }),
            "List capacity out of bounds (134217728)");
  EXPECT_EQ(list.Capacity(), capacity);
  list.SetCapacity(3);
  EXPECT_EQ(list.Capacity(), 3);
  list.SetCapacity(100);
  ExpectItems(list, {1, 2, 3});
}

TEST(IntegerList, ClearReleasesTheArray) {
  TIntegerList list;
  list.Add(1);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 0);
  EXPECT_EQ(ListErrorOf([&] { list.Items(0); }), "List index out of bounds (0)");
}

TEST(IntegerList, CopiesAreIndependentAndMovesEmptyTheSource) {
  TIntegerList list;
  list.Add(1);
  list.Add(2);
  TIntegerList copy(list);
  copy.SetItems(0, 5);
  ExpectItems(list, {1, 2});
  ExpectItems(copy, {5, 2});
  copy = list;
  ExpectItems(copy, {1, 2});
  TIntegerList moved(std::move(copy));
  ExpectItems(moved, {1, 2});
  EXPECT_EQ(copy.Count(), 0);
  EXPECT_EQ(copy.Capacity(), 0);
}

TEST(PointerList, HoldsPointerSizedValues) {
  TPointerList list;
  int anchor = 0;
  const intptr_t pointer = reinterpret_cast<intptr_t>(&anchor);
  list.Add(pointer);
  list.Add(INTPTR_MIN);
  list.Add(INTPTR_MAX);
  EXPECT_EQ(list.Items(0), pointer);
  EXPECT_EQ(list.Items(1), INTPTR_MIN);
  EXPECT_EQ(list.Items(2), INTPTR_MAX);
  EXPECT_EQ(ListErrorOf([&] { list.Items(3); }), "List index out of bounds (3)");
}
