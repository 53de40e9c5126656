#include "containers/u_ObjectDictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Writes its name into a shared log when freed.
class TTracked : public TObject {
public:
  TTracked(std::string name, std::vector<std::string>& freed)
      : FName(std::move(name)), FFreed(freed) {}
  ~TTracked() override { FFreed.push_back(FName); }
  const std::string& Name() const { return FName; }

private:
  std::string FName;
  std::vector<std::string>& FFreed;
};

} // namespace

TEST(ObjectDictionary, OwningReplacementFreesTheOldObjectOnly) {
  std::vector<std::string> freed;
  TObjectDictionary dictionary(TCodePage(1252), true, true);
  auto* first = new TTracked("first", freed);
  dictionary.Set_Item("Key", first);
  dictionary.Set_Item("KEY", first); // the very object: stays, not freed
  EXPECT_TRUE(freed.empty());
  EXPECT_EQ(dictionary.Get_Item("key"), first);
  auto* second = new TTracked("second", freed);
  dictionary.Set_Item("key", second);
  EXPECT_EQ(freed, (std::vector<std::string>{"first"}));
  EXPECT_EQ(dictionary.Find("KEY"), second);
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"Key"}));
}

TEST(ObjectDictionary, ExtractHandsTheObjectBackAlive) {
  std::vector<std::string> freed;
  TObjectDictionary dictionary(TCodePage(1252), true, true);
  auto* object = new TTracked("kept", freed);
  dictionary.Set_Item("a", object);
  EXPECT_EQ(dictionary.Extract("A"), object);
  EXPECT_FALSE(dictionary.Exists("a"));
  EXPECT_EQ(dictionary.Extract("a"), nullptr);
  EXPECT_TRUE(freed.empty());
  delete object;
}

TEST(ObjectDictionary, ClearAndDestructionFreeOwnedObjectsInEnumerationOrder) {
  std::vector<std::string> freed;
  {
    TObjectDictionary dictionary(TCodePage(1252), true, true);
    for (const char* name : {"c", "a", "b"})
      dictionary.Set_Item(name, new TTracked(name, freed));
    dictionary.Clear();
    EXPECT_EQ(freed, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(dictionary.Count(), 0);
    freed.clear();
    for (const char* name : {"y", "x"})
      dictionary.Set_Item(name, new TTracked(name, freed));
  }
  EXPECT_EQ(freed, (std::vector<std::string>{"x", "y"}));
}

TEST(ObjectDictionary, UnsortedEnumeratesObjectsInInsertionOrder) {
  std::vector<std::string> freed;
  TObjectDictionary dictionary(TCodePage(1252), false, true);
  for (const char* name : {"c", "a", "b"})
    dictionary.Set_Item(name, new TTracked(name, freed));
  std::vector<std::string> names;
  for (TObject* object : dictionary.GetObjects())
    names.push_back(static_cast<TTracked*>(object)->Name());
  EXPECT_EQ(names, (std::vector<std::string>{"c", "a", "b"}));
  dictionary.Clear();
  EXPECT_EQ(freed, (std::vector<std::string>{"c", "a", "b"}));
}

TEST(ObjectDictionary, NotOwningFreesNothing) {
  std::vector<std::string> freed;
  TTracked first("first", freed);
  TTracked second("second", freed);
  {
    TObjectDictionary dictionary(TCodePage(1252), true, false);
    dictionary.Set_Item("k", &first);
    dictionary.Set_Item("k", &second);
    dictionary.Set_Item("other", &first);
    dictionary.Clear();
    dictionary.Set_Item("k", &second);
  }
  EXPECT_TRUE(freed.empty());
}

TEST(ObjectDictionary, LookupsOfAbsentKeys) {
  TObjectDictionary dictionary(TCodePage(1252), true, true);
  EXPECT_EQ(dictionary.Find("none"), nullptr);
  EXPECT_FALSE(dictionary.Exists("none"));
  EXPECT_TRUE(dictionary.GetObjects().empty());
  try {
    dictionary.Get_Item("none");
    FAIL() << "no error";
  } catch (const EDictionaryError& error) {
    EXPECT_EQ(error.Message(), "TDictionary.Get_Item - element \"none\" not found in collection");
  }
  dictionary.Set_Item("null", nullptr);
  EXPECT_TRUE(dictionary.Exists("null"));
  EXPECT_EQ(dictionary.Find("null"), nullptr);
  EXPECT_EQ(dictionary.Count(), 1);
}
