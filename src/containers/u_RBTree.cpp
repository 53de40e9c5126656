#include "containers/u_RBTree.h"

#include <memory>

namespace {

constexpr uint8_t Red = 0;
constexpr uint8_t Black = 1;

int32_t CompareSigned(TRBTree*, intptr_t key1, intptr_t key2) {
  return key1 < key2 ? -1 : (key1 > key2 ? 1 : 0);
}

int32_t CompareByEvent(TRBTree* tree, intptr_t key1, intptr_t key2) {
  return static_cast<TCustomCompareRBTree*>(tree)->OnCompare(tree, key1, key2);
}

} // namespace

TRBTree::TRBTree() : FNilNode(new TRBNode{}) {
  FNilNode->Colour = Black;
  FRoot = FNilNode;
}

TRBTree::~TRBTree() {
  std::exception_ptr ignored; // a destructor cannot pass an OnDelete failure on
  FreeSubtree(FRoot, ignored);
  delete FNilNode;
}

TRBNode* TRBTree::Add(intptr_t key, intptr_t data) {
  auto node = std::make_unique<TRBNode>();
  node->Key = key;
  node->Data = data;
  node->Left = FNilNode;
  node->Right = FNilNode;
  node->Parent = FNilNode;
  if (!InsertNode(node.get()))
    return nullptr;
  TRBNode* inserted = node.release();
  ++FCount;
  InsertFixup(inserted);
  return inserted;
}

TRBNode* TRBTree::FindNode(TRBNode* start, intptr_t key) {
  return FindNodeBy(start, key, CompareSigned);
}

bool TRBTree::InsertNode(TRBNode* node) {
  return InsertNodeBy(node, CompareSigned);
}

TRBNode* TRBTree::FindNodeBy(TRBNode* start, intptr_t key, TKeyOrder order) {
  TRBNode* node = start;
  while (node != FNilNode) {
    const int32_t relation = order(this, key, node->Key);
    if (relation == 0)
      return node;
    node = relation < 0 ? node->Left : node->Right;
  }
  return FNilNode;
}

bool TRBTree::InsertNodeBy(TRBNode* node, TKeyOrder order) {
  TRBNode* parent = FNilNode;
  TRBNode* current = FRoot;
  int32_t relation = 0;
  while (current != FNilNode) {
    relation = order(this, node->Key, current->Key);
    if (relation == 0)
      return false;
    parent = current;
    current = relation < 0 ? current->Left : current->Right;
  }
  node->Parent = parent;
  if (parent == FNilNode)
    FRoot = node;
  else if (relation < 0)
    parent->Left = node;
  else
    parent->Right = node;
  return true;
}

bool TRBTree::Delete(intptr_t key) {
  return DeleteNode(FindNode(FRoot, key));
}

bool TRBTree::DeleteNode(TRBNode* node) {
  if (node == nullptr || node == FNilNode)
    return false;
  // The node leaves even when OnDelete fails: the handler may already have freed what its
  // key points to. The failure passes on afterwards.
  std::exception_ptr failure;
  try {
    if (OnDelete)
      OnDelete(this, node->Key, node->Data);
  } catch (...) {
    failure = std::current_exception();
  }
  TRBNode* spliced =
      (node->Left == FNilNode || node->Right == FNilNode) ? node : First(node->Right);
  TRBNode* child = spliced->Left != FNilNode ? spliced->Left : spliced->Right;
  child->Parent = spliced->Parent; // also on NilNode: the fix-up climbs from it
  if (spliced->Parent == FNilNode)
    FRoot = child;
  else if (spliced == spliced->Parent->Left)
    spliced->Parent->Left = child;
  else
    spliced->Parent->Right = child;
  if (spliced != node) {
    node->Key = spliced->Key;
    node->Data = spliced->Data;
  }
  if (spliced->Colour == Black)
    DeleteFixup(child);
  delete spliced;
  --FCount;
  if (failure)
    std::rethrow_exception(failure);
  return true;
}

void TRBTree::Clear() {
  std::exception_ptr firstError;
  FreeSubtree(FRoot, firstError);
  FCount = 0;
  if (firstError)
    std::rethrow_exception(firstError);
}

void TRBTree::FreeSubtree(TRBNode*& link, std::exception_ptr& firstError) {
  TRBNode* node = link;
  if (node == FNilNode)
    return;
  FreeSubtree(node->Left, firstError);
  FreeSubtree(node->Right, firstError);
  link = FNilNode;
  --FCount;
  std::unique_ptr<TRBNode> freed(node);
  // A failing OnDelete must not stop the emptying: the rest still has to be freed.
  try {
    if (OnDelete)
      OnDelete(this, node->Key, node->Data);
  } catch (...) {
    if (!firstError)
      firstError = std::current_exception();
  }
}

TRBNode* TRBTree::First(TRBNode* node) const {
  if (node == nullptr || node == FNilNode)
    return FNilNode;
  while (node->Left != FNilNode)
    node = node->Left;
  return node;
}

TRBNode* TRBTree::Next(TRBNode* node) const {
  if (node == nullptr || node == FNilNode)
    return FNilNode;
  if (node->Right != FNilNode)
    return First(node->Right);
  TRBNode* parent = node->Parent;
  while (parent != FNilNode && node == parent->Right) {
    node = parent;
    parent = parent->Parent;
  }
  return parent;
}

void TRBTree::RotateLeft(TRBNode* node) {
  TRBNode* pivot = node->Right;
  node->Right = pivot->Left;
  if (pivot->Left != FNilNode)
    pivot->Left->Parent = node;
  pivot->Parent = node->Parent;
  if (node->Parent == FNilNode)
    FRoot = pivot;
  else if (node == node->Parent->Left)
    node->Parent->Left = pivot;
  else
    node->Parent->Right = pivot;
  pivot->Left = node;
  node->Parent = pivot;
}

void TRBTree::RotateRight(TRBNode* node) {
  TRBNode* pivot = node->Left;
  node->Left = pivot->Right;
  if (pivot->Right != FNilNode)
    pivot->Right->Parent = node;
  pivot->Parent = node->Parent;
  if (node->Parent == FNilNode)
    FRoot = pivot;
  else if (node == node->Parent->Right)
    node->Parent->Right = pivot;
  else
    node->Parent->Left = pivot;
  pivot->Right = node;
  node->Parent = pivot;
}

void TRBTree::InsertFixup(TRBNode* node) {
  node->Colour = Red;
  while (node != FRoot && node->Parent->Colour == Red) {
    TRBNode* parent = node->Parent;
    TRBNode* grandparent = parent->Parent;
    if (parent == grandparent->Left) {
      TRBNode* uncle = grandparent->Right;
      if (uncle->Colour == Red) {
        parent->Colour = Black;
        uncle->Colour = Black;
        grandparent->Colour = Red;
        node = grandparent;
      } else {
        if (node == parent->Right) {
          node = parent;
          RotateLeft(node);
        }
        node->Parent->Colour = Black;
        node->Parent->Parent->Colour = Red;
        RotateRight(node->Parent->Parent);
      }
    } else {
      TRBNode* uncle = grandparent->Left;
      if (uncle->Colour == Red) {
        parent->Colour = Black;
        uncle->Colour = Black;
        grandparent->Colour = Red;
        node = grandparent;
      } else {
        if (node == parent->Left) {
          node = parent;
          RotateRight(node);
        }
        node->Parent->Colour = Black;
        node->Parent->Parent->Colour = Red;
        RotateLeft(node->Parent->Parent);
      }
    }
  }
  FRoot->Colour = Black;
}

void TRBTree::DeleteFixup(TRBNode* node) {
  while (node != FRoot && node->Colour == Black) {
    if (node == node->Parent->Left) {
      TRBNode* sibling = node->Parent->Right;
      if (sibling->Colour == Red) {
        sibling->Colour = Black;
        node->Parent->Colour = Red;
        RotateLeft(node->Parent);
        sibling = node->Parent->Right;
      }
      if (sibling->Left->Colour == Black && sibling->Right->Colour == Black) {
        sibling->Colour = Red;
        node = node->Parent;
      } else {
        if (sibling->Right->Colour == Black) {
          sibling->Left->Colour = Black;
          sibling->Colour = Red;
          RotateRight(sibling);
          sibling = node->Parent->Right;
        }
        sibling->Colour = node->Parent->Colour;
        node->Parent->Colour = Black;
        sibling->Right->Colour = Black;
        RotateLeft(node->Parent);
        node = FRoot;
      }
    } else {
      TRBNode* sibling = node->Parent->Left;
      if (sibling->Colour == Red) {
        sibling->Colour = Black;
        node->Parent->Colour = Red;
        RotateRight(node->Parent);
        sibling = node->Parent->Left;
      }
      if (sibling->Right->Colour == Black && sibling->Left->Colour == Black) {
        sibling->Colour = Red;
        node = node->Parent;
      } else {
        if (sibling->Left->Colour == Black) {
          sibling->Right->Colour = Black;
          sibling->Colour = Red;
          RotateLeft(sibling);
          sibling = node->Parent->Left;
        }
        sibling->Colour = node->Parent->Colour;
        node->Parent->Colour = Black;
        sibling->Left->Colour = Black;
        RotateRight(node->Parent);
        node = FRoot;
      }
    }
  }
  node->Colour = Black;
}

TCustomCompareRBTree::TCustomCompareRBTree() : OnCompare(CompareSigned) {}

TRBNode* TCustomCompareRBTree::FindNode(TRBNode* start, intptr_t key) {
  return FindNodeBy(start, key, CompareByEvent);
}

bool TCustomCompareRBTree::InsertNode(TRBNode* node) {
  return InsertNodeBy(node, CompareByEvent);
}
