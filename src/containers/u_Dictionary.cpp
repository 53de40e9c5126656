#include "containers/u_Dictionary.h"

#include "containers/u_RBTree.h"

#include <cstring>
#include <new>
#include <string_view>

namespace {

constexpr const char* SAlreadyInCollection = "%s - element \"%s\" is already in collection";
constexpr const char* SNotFoundInCollection = "%s - element \"%s\" not found in collection";

// One per key. KeyTree orders entries by CompareKey: the key itself when case counts, else
// its collation sort key, so that a lookup collates its key once and then compares bytes.
// A stored entry keeps those bytes right behind itself, one memory block per key.
struct TEntry {
  std::string_view CompareKey;
  intptr_t Order = 0;
  std::string Key;
};

struct TEntryDeleter {
  void operator()(TEntry* entry) const {
    entry->~TEntry();
    ::operator delete(entry);
  }
};
using TEntryPtr = std::unique_ptr<TEntry, TEntryDeleter>;

TEntryPtr NewEntryBlock(const std::string& key, intptr_t order, std::string_view compareKey) {
  void* block = ::operator new(sizeof(TEntry) + compareKey.size());
  char* bytes = static_cast<char*>(block) + sizeof(TEntry);
  if (!compareKey.empty())
    std::memcpy(bytes, compareKey.data(), compareKey.size());
  try {
    return TEntryPtr(new (block) TEntry{std::string_view(bytes, compareKey.size()), order, key});
  } catch (...) {
    ::operator delete(block);
    throw;
  }
}

// The bytes KeyTree compares for a key; a reused buffer, so that lookups do not allocate.
std::string_view CompareKeyOf(const std::string& key, const std::optional<TCodePage>& codePage) {
  if (!codePage)
    return key;
  thread_local std::string sortKey;
  codePage->SortKey(key, sortKey);
  return sortKey;
}

const TEntry* EntryOf(intptr_t treeKey) {
  return reinterpret_cast<const TEntry*>(treeKey);
}

int32_t CompareEntries(TRBTree*, intptr_t key1, intptr_t key2) {
  const int relation = EntryOf(key1)->CompareKey.compare(EntryOf(key2)->CompareKey);
  return relation < 0 ? -1 : (relation > 0 ? 1 : 0);
}

[[noreturn]] void RaiseDictionaryError(const char* message, const char* operation,
                                       const std::string& key) {
  throw EDictionaryError(Format(message, operation, key.c_str()));
}

} // namespace

struct TDictionary::TState {
  explicit TState(std::optional<TCodePage> codePage) : CodePage(codePage) {}

  TEntryPtr NewEntry(const std::string& key) {
    const intptr_t order = NextOrder++;
    return NewEntryBlock(key, order, CompareKeyOf(key, CodePage));
  }

  TRBNode* Find(const std::string& key) {
    TEntry probe;
    probe.CompareKey = CompareKeyOf(key, CodePage);
    return KeyTree.FindNode(KeyTree.Root(), reinterpret_cast<intptr_t>(&probe));
  }

  bool Found(TRBNode* node) const { return node != KeyTree.NilNode(); }

  // Links a new entry into both trees; false (and nothing linked) when its key is present.
  bool Insert(TEntry* entry, intptr_t value) {
    if (OrderTree)
      OrderTree->Add(entry->Order, reinterpret_cast<intptr_t>(entry));
    TRBNode* node = nullptr;
    try {
      node = KeyTree.Add(reinterpret_cast<intptr_t>(entry), value);
    } catch (...) {
      if (OrderTree)
        OrderTree->Delete(entry->Order);
      throw;
    }
    if (node == nullptr && OrderTree)
      OrderTree->Delete(entry->Order);
    return node != nullptr;
  }

  // Visits the entries in enumeration order with each one's value.
  template <typename TVisit> void Enumerate(TVisit visit) {
    if (!OrderTree) {
      for (TRBNode* node = KeyTree.First(KeyTree.Root()); node != KeyTree.NilNode();
           node = KeyTree.Next(node))
        visit(*EntryOf(node->Key), node->Data);
      return;
    }
    for (TRBNode* node = OrderTree->First(OrderTree->Root()); node != OrderTree->NilNode();
         node = OrderTree->Next(node)) {
      const TEntry& entry = *EntryOf(node->Data);
      // Node pointers of KeyTree do not survive removals, so the value is looked up by entry.
      visit(entry, KeyTree.FindNode(KeyTree.Root(), node->Data)->Data);
    }
  }

  std::optional<TCodePage> CodePage;
  TCustomCompareRBTree KeyTree;
  std::unique_ptr<TRBTree> OrderTree; // only when not sorted: keyed by Order
  intptr_t NextOrder = 0;
};

TDictionary::TDictionary(std::optional<TCodePage> caseInsensitiveIn, bool sorted)
    : FCodePage(caseInsensitiveIn), FSorted(sorted),
      FState(std::make_unique<TState>(caseInsensitiveIn)) {
  FState->KeyTree.OnCompare = CompareEntries;
  FState->KeyTree.OnDelete = [this](TRBTree*, intptr_t key, intptr_t value) {
    TEntryPtr entry(const_cast<TEntry*>(EntryOf(key)));
    const std::string keyCopy = std::move(entry->Key);
    if (FState->OrderTree)
      FState->OrderTree->Delete(entry->Order);
    entry.reset();
    Notify(keyCopy, value, dnRemoved);
  };
  if (!sorted)
    FState->OrderTree = std::make_unique<TRBTree>();
}

TDictionary::~TDictionary() {
  // Empties KeyTree while OrderTree still exists; Notify reaches only this class's own here.
  try {
    FState->KeyTree.Clear();
  } catch (...) {
    // nothing can be reported from a destructor
  }
}

void TDictionary::Add(const std::string& key, intptr_t value) {
  if (!AddIfAbsent(key, value))
    RaiseDictionaryError(SAlreadyInCollection, "TDictionary.Add", key);
}

bool TDictionary::AddIfAbsent(const std::string& key, intptr_t value) {
  TEntryPtr entry = FState->NewEntry(key);
  if (!FState->Insert(entry.get(), value))
    return false;
  entry.release();
  Notify(key, value, dnAdded);
  return true;
}

void TDictionary::Set_Item(const std::string& key, intptr_t value) {
  TEntryPtr entry = FState->NewEntry(key);
  TRBNode* node =
      FState->KeyTree.FindNode(FState->KeyTree.Root(), reinterpret_cast<intptr_t>(entry.get()));
  if (FState->Found(node)) {
    // The entry keeps its first key text and its place in insertion order.
    entry.reset();
    Notify(key, node->Data, dnRemoved);
    node->Data = value;
  } else {
    FState->Insert(entry.get(), value);
    entry.release();
  }
  Notify(key, value, dnAdded);
}

intptr_t TDictionary::Get_Item(const std::string& key) const {
  TRBNode* node = FState->Find(key);
  if (!FState->Found(node))
    RaiseDictionaryError(SNotFoundInCollection, "TDictionary.Get_Item", key);
  return node->Data;
}

intptr_t TDictionary::GetItemDef(const std::string& key, intptr_t defaultValue) const {
  TRBNode* node = FState->Find(key);
  return FState->Found(node) ? node->Data : defaultValue;
}

bool TDictionary::Exists(const std::string& key) const {
  return FState->Found(FState->Find(key));
}

const std::string* TDictionary::KeyOf(const std::string& key) const {
  TRBNode* node = FState->Find(key);
  return FState->Found(node) ? &EntryOf(node->Key)->Key : nullptr;
}

void TDictionary::Delete(const std::string& key) {
  TRBNode* node = FState->Find(key);
  if (!FState->Found(node))
    RaiseDictionaryError(SNotFoundInCollection, "TDictionary.Delete", key);
  FState->KeyTree.DeleteNode(node);
}

void TDictionary::Clear() {
  FState->KeyTree.Clear();
  FState->NextOrder = 0;
}

int32_t TDictionary::Count() const {
  return FState->KeyTree.Count();
}

TStringList TDictionary::GetKeys() const {
  TStringList keys;
  keys.reserve(static_cast<size_t>(Count()));
  FState->Enumerate([&keys](const TEntry& entry, intptr_t) { keys.push_back(entry.Key); });
  return keys;
}

TPointerList TDictionary::GetValues() const {
  TPointerList values;
  values.SetCapacity(Count());
  FState->Enumerate([&values](const TEntry&, intptr_t value) { values.Add(value); });
  return values;
}

void TDictionary::Notify(const std::string&, intptr_t, TDictionaryNotification) {}

TStringToStringDictionary::TStringToStringDictionary(std::optional<TCodePage> caseInsensitiveIn,
                                                     bool sorted)
    : TDictionary(caseInsensitiveIn, sorted) {}

TStringToStringDictionary::~TStringToStringDictionary() {
  // The base destructor would no longer reach this class's Notify, and the cells would leak.
  try {
    Clear();
  } catch (...) {
    // nothing can be reported from a destructor
  }
}

void TStringToStringDictionary::Add(const std::string& key, std::string value) {
  auto cell = std::make_unique<std::string>(std::move(value));
  if (AddIfAbsent(key, reinterpret_cast<intptr_t>(cell.get())))
    cell.release();
}

void TStringToStringDictionary::Set_Item(const std::string& key, std::string value) {
  auto cell = std::make_unique<std::string>(std::move(value));
  TDictionary::Set_Item(key, reinterpret_cast<intptr_t>(cell.get()));
  cell.release();
}

const std::string& TStringToStringDictionary::Get_Item(const std::string& key) const {
  return *reinterpret_cast<const std::string*>(TDictionary::Get_Item(key));
}

void TStringToStringDictionary::Notify(const std::string& key, intptr_t value,
                                       TDictionaryNotification kind) {
  if (kind == dnRemoved)
    delete reinterpret_cast<std::string*>(value);
  TDictionary::Notify(key, value, kind);
}
