#include "containers/u_RBTree.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using TEntries = std::vector<std::pair<intptr_t, intptr_t>>;

TEntries InOrder(const TRBTree& tree) {
  TEntries entries;
  for (TRBNode* node = tree.First(tree.Root()); node != tree.NilNode(); node = tree.Next(node))
    entries.emplace_back(node->Key, node->Data);
  return entries;
}

// Black height of the subtree; fails the test on a red-red edge, a broken parent link or
// unequal black heights.
int BlackHeight(const TRBTree& tree, const TRBNode* node, const TRBNode* parent) {
  if (node == tree.NilNode())
    return 1;
  EXPECT_EQ(node->Parent, parent);
  if (node->Colour == 0) {
    EXPECT_EQ(node->Left->Colour, 1) << "red node " << node->Key << " has a red child";
    EXPECT_EQ(node->Right->Colour, 1) << "red node " << node->Key << " has a red child";
  }
  const int left = BlackHeight(tree, node->Left, node);
  const int right = BlackHeight(tree, node->Right, node);
  EXPECT_EQ(left, right) << "black heights differ below " << node->Key;
  return left + node->Colour;
}

void ExpectRedBlack(const TRBTree& tree) {
  EXPECT_EQ(tree.Root()->Colour, 1);
  EXPECT_EQ(tree.NilNode()->Colour, 1);
  BlackHeight(tree, tree.Root(), tree.NilNode());
}

struct TDeleteLog {
  TEntries Entries;
  void Attach(TRBTree& tree) {
    tree.OnDelete = [this](TRBTree*, intptr_t key, intptr_t data) {
      Entries.emplace_back(key, data);
    };
  }
};

} // namespace

TEST(RBTree, RandomInsertionsAndDeletionsKeepTheRedBlackProperties) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<intptr_t> keys(-300, 300);
  TDeleteLog log; // outlives the tree, whose destructor reports into it
  TRBTree tree;
  log.Attach(tree);
  std::map<intptr_t, intptr_t> reference;
  for (int step = 0; step < 6000; ++step) {
    const intptr_t key = keys(random);
    // More insertions than deletions early on, the reverse later, so the tree fills and drains.
    const bool insert = random() % 100 < (step < 3000 ? 65 : 35);
    if (insert) {
      const intptr_t data = static_cast<intptr_t>(random());
      TRBNode* node = tree.Add(key, data);
      const bool inserted = reference.emplace(key, data).second;
      ASSERT_EQ(node != nullptr, inserted) << "step " << step;
      if (inserted) {
        EXPECT_EQ(node->Key, key);
      }
    } else {
      log.Entries.clear();
      const auto found = reference.find(key);
      ASSERT_EQ(tree.Delete(key), found != reference.end()) << "step " << step;
      if (found != reference.end()) {
        EXPECT_EQ(log.Entries, (TEntries{*found}));
        reference.erase(found);
      } else {
        EXPECT_TRUE(log.Entries.empty());
      }
    }
    ASSERT_EQ(tree.Count(), static_cast<int32_t>(reference.size()));
    ASSERT_EQ(InOrder(tree), TEntries(reference.begin(), reference.end())) << "step " << step;
    ExpectRedBlack(tree);
    if (HasFailure())
      FAIL() << "red-black properties broken at step " << step;
  }
}

TEST(RBTree, AddOfAPresentKeyChangesNothing) {
  TDeleteLog log; // outlives the tree, whose destructor reports into it
  TRBTree tree;
  log.Attach(tree);
  ASSERT_NE(tree.Add(5, 50), nullptr);
  EXPECT_EQ(tree.Add(5, 99), nullptr);
  EXPECT_EQ(tree.Count(), 1);
  EXPECT_EQ(InOrder(tree), (TEntries{{5, 50}}));
  EXPECT_TRUE(log.Entries.empty());
}

TEST(RBTree, DeleteOfAnAbsentKeyReturnsFalseSilently) {
  TDeleteLog log; // outlives the tree, whose destructor reports into it
  TRBTree tree;
  log.Attach(tree);
  EXPECT_FALSE(tree.Delete(1));
  tree.Add(2, 20);
  EXPECT_FALSE(tree.Delete(1));
  EXPECT_FALSE(tree.DeleteNode(tree.NilNode()));
  EXPECT_TRUE(log.Entries.empty());
  EXPECT_EQ(tree.Count(), 1);
}

TEST(RBTree, DeletingANodeWithTwoChildrenReportsItsOwnEntry) {
  TDeleteLog log; // outlives the tree, whose destructor reports into it
  TRBTree tree;
  log.Attach(tree);
  for (intptr_t key : {20, 10, 30, 5, 15, 25, 35})
    tree.Add(key, key * 100);
  ASSERT_EQ(tree.Root()->Key, 20);
  ASSERT_NE(tree.Root()->Left, tree.NilNode());
  ASSERT_NE(tree.Root()->Right, tree.NilNode());
  EXPECT_TRUE(tree.DeleteNode(tree.Root()));
  EXPECT_EQ(log.Entries, (TEntries{{20, 2000}}));
  EXPECT_EQ(InOrder(tree),
            (TEntries{{5, 500}, {10, 1000}, {15, 1500}, {25, 2500}, {30, 3000}, {35, 3500}}));
  ExpectRedBlack(tree);
}

TEST(RBTree, WalkingFromNilNodeOrAnEmptyTreeGivesNilNode) {
  TRBTree tree;
  EXPECT_EQ(tree.Root(), tree.NilNode());
  EXPECT_EQ(tree.First(tree.Root()), tree.NilNode());
  EXPECT_EQ(tree.First(tree.NilNode()), tree.NilNode());
  EXPECT_EQ(tree.Next(tree.NilNode()), tree.NilNode());
  TRBNode* only = tree.Add(1, 0);
  EXPECT_EQ(tree.First(tree.Root()), only);
  EXPECT_EQ(tree.Next(only), tree.NilNode());
}

TEST(RBTree, KeysOrderAsSignedValues) {
  TRBTree tree;
  tree.Add(0, 0);
  tree.Add(INTPTR_MIN, 1);
  tree.Add(INTPTR_MAX, 2);
  tree.Add(-1, 3);
  EXPECT_EQ(InOrder(tree), (TEntries{{INTPTR_MIN, 1}, {-1, 3}, {0, 0}, {INTPTR_MAX, 2}}));
  EXPECT_NE(tree.FindNode(tree.Root(), INTPTR_MIN), tree.NilNode());
  EXPECT_EQ(tree.FindNode(tree.Root(), 1), tree.NilNode());
}

TEST(RBTree, ClearFreesChildrenFirstAndEmptiesTheTree) {
  TDeleteLog log; // outlives the tree, whose destructor reports into it
  TRBTree tree;
  log.Attach(tree);
  tree.Clear();
  EXPECT_TRUE(log.Entries.empty());
  EXPECT_EQ(tree.Count(), 0);
  for (intptr_t key : {2, 1, 3})
    tree.Add(key, -key);
  tree.Clear();
  EXPECT_EQ(log.Entries, (TEntries{{1, -1}, {3, -3}, {2, -2}}));
  EXPECT_EQ(tree.Count(), 0);
  EXPECT_EQ(tree.Root(), tree.NilNode());
  EXPECT_NE(tree.Add(2, 0), nullptr);
}

TEST(RBTree, DestructionReportsEveryRemainingEntry) {
  TDeleteLog log;
  {
    TRBTree tree;
    log.Attach(tree);
    for (intptr_t key = 0; key < 10; ++key)
      tree.Add(key, key);
  }
  EXPECT_EQ(log.Entries.size(), 10u);
}

TEST(RBTree, AFailingOnDeleteStillRemovesTheNode) {
  TRBTree tree;
  for (intptr_t key = 0; key < 8; ++key)
    tree.Add(key, key);
  int calls = 0;
  tree.OnDelete = [&calls](TRBTree*, intptr_t, intptr_t) {
    ++calls;
    throw std::runtime_error("handler");
  };
  EXPECT_THROW(tree.Delete(3), std::runtime_error);
  EXPECT_EQ(tree.Count(), 7);
  EXPECT_EQ(tree.FindNode(tree.Root(), 3), tree.NilNode());
  ExpectRedBlack(tree);
  calls = 0;
  EXPECT_THROW(tree.Clear(), std::runtime_error);
  EXPECT_EQ(calls, 7);
  EXPECT_EQ(tree.Count(), 0);
  EXPECT_EQ(tree.Root(), tree.NilNode());
}

TEST(CustomCompareRBTree, DefaultsToSignedOrder) {
  TCustomCompareRBTree tree;
  tree.Add(1, 0);
  tree.Add(-1, 0);
  tree.Add(INTPTR_MIN, 0);
  EXPECT_EQ(InOrder(tree), (TEntries{{INTPTR_MIN, 0}, {-1, 0}, {1, 0}}));
}

TEST(CustomCompareRBTree, OrdersAndFindsThroughOnCompare) {
  TCustomCompareRBTree tree;
  std::vector<intptr_t> firstArguments;
  // Keys equal modulo 10 are the same key; order descends.
  tree.OnCompare = [&firstArguments](TRBTree*, intptr_t key1, intptr_t key2) -> int32_t {
    firstArguments.push_back(key1);
    return static_cast<int32_t>(key2 % 10 - key1 % 10);
  };
  for (intptr_t key : {1, 5, 3, 9})
    tree.Add(key, key);
  EXPECT_EQ(tree.Add(15, 0), nullptr);
  EXPECT_EQ(InOrder(tree), (TEntries{{9, 9}, {5, 5}, {3, 3}, {1, 1}}));
  firstArguments.clear();
  TRBNode* found = tree.FindNode(tree.Root(), 13);
  ASSERT_NE(found, tree.NilNode());
  EXPECT_EQ(found->Data, 3);
  EXPECT_EQ(firstArguments, std::vector<intptr_t>(firstArguments.size(), 13));
  EXPECT_TRUE(tree.Delete(21));
  EXPECT_EQ(InOrder(tree), (TEntries{{9, 9}, {5, 5}, {3, 3}}));
  ExpectRedBlack(tree);
}
