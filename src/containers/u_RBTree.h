#pragma once
// A red-black tree mapping pointer-sized keys to pointer-sized data, with one shared black
// sentinel node. TRBTree orders keys as signed integers; TCustomCompareRBTree through an event.

#include <cstdint>
#include <exception>
#include <functional>

struct TRBNode {
  uint8_t Colour; // 0 red, 1 black
  intptr_t Key;
  intptr_t Data;
  TRBNode* Left;
  TRBNode* Right;
  TRBNode* Parent;
};

class TRBTree;
using TRBDeleteEvent = std::function<void(TRBTree* sender, intptr_t key, intptr_t data)>;
using TRBCompareEvent = std::function<int32_t(TRBTree* sender, intptr_t key1, intptr_t key2)>;

class TRBTree {
public:
  TRBTree();
  virtual ~TRBTree();
  TRBTree(const TRBTree&) = delete;
  TRBTree& operator=(const TRBTree&) = delete;

  // Inserts and rebalances; nullptr (and no change) when the key is present.
  TRBNode* Add(intptr_t key, intptr_t data);
  // Descends from start; NilNode() when the key is absent.
  virtual TRBNode* FindNode(TRBNode* start, intptr_t key);
  // OnDelete runs with the removed entry, then the node leaves (also when OnDelete raises;
  // its exception passes on afterwards); false when absent.
  bool Delete(intptr_t key);
  bool DeleteNode(TRBNode* node);
  void Clear();

  TRBNode* First(TRBNode* node) const;
  TRBNode* Next(TRBNode* node) const;

  int32_t Count() const { return FCount; }
  TRBNode* Root() const { return FRoot; }
  TRBNode* NilNode() const { return FNilNode; }

  TRBDeleteEvent OnDelete;

protected:
  // Plain binary-search-tree insertion without rebalancing; false when the key is present.
  virtual bool InsertNode(TRBNode* node);

  // <0, 0, >0 as key1 orders before, with or after key2.
  using TKeyOrder = int32_t (*)(TRBTree* tree, intptr_t key1, intptr_t key2);
  // The descent both tree classes share, deciding each step by order.
  TRBNode* FindNodeBy(TRBNode* start, intptr_t key, TKeyOrder order);
  bool InsertNodeBy(TRBNode* node, TKeyOrder order);

private:
  void RotateLeft(TRBNode* node);
  void RotateRight(TRBNode* node);
  void InsertFixup(TRBNode* node);
  void DeleteFixup(TRBNode* node);
  // Frees the subtree hanging from link, children first, and leaves link at NilNode.
  void FreeSubtree(TRBNode*& link, std::exception_ptr& firstError);

  TRBNode* FRoot;
  TRBNode* FNilNode;
  int32_t FCount = 0;
};

class TCustomCompareRBTree : public TRBTree {
public:
  TCustomCompareRBTree(); // installs a signed-integer comparison
  TRBNode* FindNode(TRBNode* start, intptr_t key) override;
  // Called with the key being inserted or searched for as key1 and the node's key as key2.
  TRBCompareEvent OnCompare;

protected:
  bool InsertNode(TRBNode* node) override;
};
