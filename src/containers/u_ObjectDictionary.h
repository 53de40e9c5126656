#pragma once
// A string-keyed dictionary of objects that may own them.

#include "containers/u_Dictionary.h"

#include <vector>

class TObjectDictionary : public TObject {
public:
  TObjectDictionary(std::optional<TCodePage> caseInsensitiveIn, bool sorted, bool ownsObjects);
  ~TObjectDictionary() override; // Clear, then the inner dictionary goes
  TObjectDictionary(const TObjectDictionary&) = delete;
  TObjectDictionary& operator=(const TObjectDictionary&) = delete;

  // The object, or nullptr when the key is absent.
  TObject* Find(const std::string& key) const;
  // "TDictionary.Get_Item - element "%s" not found in collection" for an absent key.
  TObject* Get_Item(const std::string& key) const;
  // When owning, frees the object held under the key before (unless it is the same object).
  void Set_Item(const std::string& key, TObject* object);
  // Removes the key and returns its object alive; nullptr when absent.
  TObject* Extract(const std::string& key);
  bool Exists(const std::string& key) const;
  int32_t Count() const;
  // Empties the dictionary; when owning, then frees every object in enumeration order.
  void Clear();

  // The objects in enumeration order; the list does not own them.
  std::vector<TObject*> GetObjects() const;
  TStringList GetKeys() const;
  bool OwnsObjects() const { return FOwnsObjects; }
  const std::optional<TCodePage>& CodePage() const { return FDictionary.CodePage(); }

private:
  TDictionary FDictionary;
  bool FOwnsObjects;
};
