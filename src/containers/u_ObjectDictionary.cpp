#include "containers/u_ObjectDictionary.h"

namespace {

TObject* ObjectOf(intptr_t value) {
  return reinterpret_cast<TObject*>(value);
}

intptr_t ValueOf(TObject* object) {
  return reinterpret_cast<intptr_t>(object);
}

} // namespace

TObjectDictionary::TObjectDictionary(std::optional<TCodePage> caseInsensitiveIn, bool sorted,
                                     bool ownsObjects)
    : FDictionary(caseInsensitiveIn, sorted), FOwnsObjects(ownsObjects) {}

TObjectDictionary::~TObjectDictionary() {
  Clear();
}

TObject* TObjectDictionary::Find(const std::string& key) const {
  return ObjectOf(FDictionary.GetItemDef(key, 0));
}

TObject* TObjectDictionary::Get_Item(const std::string& key) const {
  return ObjectOf(FDictionary.Get_Item(key));
}

void TObjectDictionary::Set_Item(const std::string& key, TObject* object) {
  TObject* previous = FOwnsObjects ? Find(key) : nullptr;
  // Stored first, freed after: a failed store must not leave the key on a freed object.
  FDictionary.Set_Item(key, ValueOf(object));
  if (previous != object)
    delete previous;
}

TObject* TObjectDictionary::Extract(const std::string& key) {
  if (!FDictionary.Exists(key))
    return nullptr;
  TObject* object = Get_Item(key);
  FDictionary.Delete(key);
  return object;
}

bool TObjectDictionary::Exists(const std::string& key) const {
  return FDictionary.Exists(key);
}

int32_t TObjectDictionary::Count() const {
  return FDictionary.Count();
}

void TObjectDictionary::Clear() {
  std::vector<TObject*> owned;
  if (FOwnsObjects)
    owned = GetObjects();
  // Emptied before the objects go, so that no destructor finds the dictionary holding them.
  FDictionary.Clear();
  for (TObject* object : owned)
    delete object;
}

std::vector<TObject*> TObjectDictionary::GetObjects() const {
  const TPointerList values = FDictionary.GetValues();
  std::vector<TObject*> objects;
  objects.reserve(static_cast<size_t>(values.Count()));
  for (int32_t i = 0; i < values.Count(); ++i)
    objects.push_back(ObjectOf(values.Items(i)));
  return objects;
}

TStringList TObjectDictionary::GetKeys() const {
  return FDictionary.GetKeys();
}
