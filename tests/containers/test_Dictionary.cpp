#include "containers/u_Dictionary.h"

#include "common/u_AnsiText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

struct TNotification {
  std::string Key;
  intptr_t Value;
  TDictionaryNotification Kind;
  bool operator==(const TNotification&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TNotification& n) {
  return out << (n.Kind == dnAdded ? "added " : "removed ") << n.Key << "=" << n.Value;
}

using TLog = std::vector<TNotification>;

// Records every notification; clears in its own destructor so that removals stay visible.
class TRecordingDictionary : public TDictionary {
public:
  TRecordingDictionary(bool caseInsensitive, bool sorted, TLog& log)
      : TDictionary(caseInsensitive ? std::optional(TCodePage(1252)) : std::nullopt, sorted),
        FLog(log) {}
  ~TRecordingDictionary() override { Clear(); }

protected:
  void Notify(const std::string& key, intptr_t value, TDictionaryNotification kind) override {
    FLog.push_back({key, value, kind});
  }

private:
  TLog& FLog;
};

std::vector<intptr_t> ValuesOf(const TDictionary& dictionary) {
  const TPointerList list = dictionary.GetValues();
  std::vector<intptr_t> values;
  for (int32_t i = 0; i < list.Count(); ++i)
    values.push_back(list.Items(i));
  return values;
}

template <typename TCall> std::string DictionaryErrorOf(TCall call) {
  try {
    call();
  } catch (const EDictionaryError& error) {
    return error.Message();
  }
  return "no EDictionaryError";
}

} // namespace

TEST(Dictionary, CaseInsensitiveKeysAreOneKey) {
  TLog log;
  TRecordingDictionary dictionary(true, true, log);
  dictionary.Add("Name", 1);
  EXPECT_EQ(DictionaryErrorOf([&] { dictionary.Add("NAME", 2); }),
            "TDictionary.Add - element \"NAME\" is already in collection");
  EXPECT_EQ(dictionary.Get_Item("nAmE"), 1);
  log.clear();
  dictionary.Set_Item("NAME", 3);
  EXPECT_EQ(log, (TLog{{"NAME", 1, dnRemoved}, {"NAME", 3, dnAdded}}));
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"Name"}));
  EXPECT_EQ(dictionary.Count(), 1);
  EXPECT_TRUE(dictionary.Exists("Readme.txt") == false);
  dictionary.Add("Readme.txt", 4);
  EXPECT_TRUE(dictionary.Exists("README.TXT"));
  dictionary.Add("a-b", 5);
  EXPECT_FALSE(dictionary.Exists("ab"));
}

TEST(Dictionary, CaseInsensitiveSortedIgnoresLetterCase) {
  TDictionary dictionary(TCodePage(1252), true);
  for (const char* key : {"cherry", "Banana", "apple", "Apricot"})
    dictionary.Add(key, 0);
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"apple", "Apricot", "Banana", "cherry"}));
}

TEST(Dictionary, CaseInsensitiveKeysFollowTheCodePage) {
  TDictionary dictionary(TCodePage(1251), true);
  dictionary.Add("\xEF\xF0\xE8\xE2\xE5\xF2", 1); // privet
  EXPECT_TRUE(dictionary.Exists("\xCF\xD0\xC8\xC2\xC5\xD2"));
  dictionary.Add("\xB8", 2); // yo: its capital is 0xA8 here, in windows-1252 two marks
  EXPECT_TRUE(dictionary.Exists("\xA8"));
  dictionary.Add("\xE6", 3); // zhe
  dictionary.Add("\xE5", 4); // ye, before yo
  EXPECT_EQ(ValuesOf(dictionary), (std::vector<intptr_t>{4, 2, 3, 1}));
}

TEST(Dictionary, CaseSensitiveKeysAreOrdinal) {
  TDictionary dictionary(std::nullopt, true);
  for (const char* key : {"name", "Name", "b", "B", "\xE9", "z", "na"})
    dictionary.Add(key, 0);
  EXPECT_EQ(dictionary.Count(), 7);
  // Bytes compare unsigned, and a key orders after its prefixes.
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"B", "Name", "b", "na", "name", "z", "\xE9"}));
  EXPECT_FALSE(dictionary.Exists("NAME"));
}

TEST(Dictionary, UnsortedEnumeratesInFirstInsertionOrder) {
  TDictionary dictionary(TCodePage(1252), false);
  for (const char* key : {"zeta", "Alpha", "mid"})
    dictionary.Add(key, static_cast<intptr_t>(dictionary.Count()));
  dictionary.Set_Item("ALPHA", 10); // keeps its place
  dictionary.Set_Item("new", 11);
  dictionary.Delete("zeta");
  dictionary.Add("Zeta", 12); // a key that comes back goes to the end
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"Alpha", "mid", "new", "Zeta"}));
  EXPECT_EQ(ValuesOf(dictionary), (std::vector<intptr_t>{10, 2, 11, 12}));
}

TEST(Dictionary, AbsentKeysRaiseNamingTheOperation) {
  TDictionary dictionary(TCodePage(1252), true);
  dictionary.Add("present", 1);
  EXPECT_EQ(DictionaryErrorOf([&] { dictionary.Get_Item("missing"); }),
            "TDictionary.Get_Item - element \"missing\" not found in collection");
  EXPECT_EQ(DictionaryErrorOf([&] { dictionary.Delete("missing"); }),
            "TDictionary.Delete - element \"missing\" not found in collection");
  EXPECT_EQ(dictionary.Count(), 1);
}

TEST(Dictionary, EmptyKeyAndNullValueAreValid) {
  TDictionary dictionary(TCodePage(1252), true);
  dictionary.Add("", 0);
  EXPECT_TRUE(dictionary.Exists(""));
  EXPECT_FALSE(dictionary.Exists(" "));
  EXPECT_EQ(dictionary.GetItemDef("", 7), 0);
  EXPECT_EQ(dictionary.GetItemDef("x", 7), 7);
  dictionary.Add("x", 7);
  EXPECT_EQ(dictionary.GetItemDef("x", 7), 7);
  dictionary.Delete("");
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"x"}));
}

TEST(Dictionary, RemovalsNotifyWithTheStoredKey) {
  TLog log;
  {
    TRecordingDictionary dictionary(true, true, log);
    for (const char* key : {"b", "a", "c"})
      dictionary.Add(key, key[0]);
    EXPECT_EQ(log, (TLog{{"b", 'b', dnAdded}, {"a", 'a', dnAdded}, {"c", 'c', dnAdded}}));
    log.clear();
    dictionary.Delete("A");
    EXPECT_EQ(log, (TLog{{"a", 'a', dnRemoved}}));
    dictionary.Add("a", 'a');
    log.clear();
    dictionary.Clear();
    // Emptying goes children first: both leaves before the root.
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log.back(), (TNotification{"b", 'b', dnRemoved}));
    EXPECT_EQ(dictionary.Count(), 0);
    log.clear();
    dictionary.Add("d", 'd');
    log.clear();
  }
  EXPECT_EQ(log, (TLog{{"d", 'd', dnRemoved}}));
}

TEST(Dictionary, FailedAddLeavesTheDictionaryAsItWas) {
  TLog log;
  TRecordingDictionary dictionary(false, false, log);
  dictionary.Add("k", 1);
  log.clear();
  EXPECT_THROW(dictionary.Add("k", 2), EDictionaryError);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(dictionary.Count(), 1);
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"k"}));
  EXPECT_EQ(ValuesOf(dictionary), (std::vector<intptr_t>{1}));
}

TEST(Dictionary, ClearStartsInsertionOrderAfresh) {
  TDictionary dictionary(std::nullopt, false);
  dictionary.Add("first", 1);
  dictionary.Add("second", 2);
  dictionary.Clear();
  EXPECT_TRUE(dictionary.GetKeys().empty());
  EXPECT_EQ(dictionary.GetValues().Count(), 0);
  dictionary.Add("second", 2);
  dictionary.Add("first", 1);
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"second", "first"}));
}

TEST(Dictionary, RandomOperationsMatchAnInsertionOrderedReference) {
  std::mt19937 random(7);
  TDictionary dictionary(TCodePage(1252), false);
  std::vector<std::pair<std::string, intptr_t>> reference; // in first-insertion order
  const auto find = [&reference](const std::string& key) {
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    return std::find_if(reference.begin(), reference.end(), [&](const auto& entry) {
      std::string other = entry.first;
      std::transform(other.begin(), other.end(), other.begin(), ::tolower);
      return other == lower;
    });
  };
  for (int step = 0; step < 2000; ++step) {
    std::string key = "key" + std::to_string(random() % 60);
    if (random() % 2)
      std::transform(key.begin(), key.end(), key.begin(), ::toupper);
    const auto found = find(key);
    switch (random() % 3) {
    case 0:
      dictionary.Set_Item(key, step);
      if (found == reference.end())
        reference.emplace_back(key, step);
      else
        found->second = step;
      break;
    case 1:
      if (found == reference.end()) {
        dictionary.Add(key, step);
        reference.emplace_back(key, step);
      } else {
        EXPECT_THROW(dictionary.Add(key, step), EDictionaryError);
      }
      break;
    default:
      if (found == reference.end()) {
        EXPECT_THROW(dictionary.Delete(key), EDictionaryError);
      } else {
        dictionary.Delete(key);
        reference.erase(found);
      }
    }
    TStringList keys;
    std::vector<intptr_t> values;
    for (const auto& [k, v] : reference) {
      keys.push_back(k);
      values.push_back(v);
    }
    ASSERT_EQ(dictionary.GetKeys(), keys) << "step " << step;
    ASSERT_EQ(ValuesOf(dictionary), values) << "step " << step;
  }
}

TEST(StringToStringDictionary, AddKeepsTheFirstValueSilently) {
  TStringToStringDictionary dictionary(TCodePage(1252), true);
  dictionary.Add("Title", "first");
  EXPECT_NO_THROW(dictionary.Add("TITLE", "second"));
  EXPECT_EQ(dictionary.Get_Item("title"), "first");
  dictionary.Set_Item("TITLE", "third");
  EXPECT_EQ(dictionary.Get_Item("Title"), "third");
  EXPECT_EQ(dictionary.GetKeys(), (TStringList{"Title"}));
  EXPECT_EQ(DictionaryErrorOf([&] { dictionary.Get_Item("none"); }),
            "TDictionary.Get_Item - element \"none\" not found in collection");
}

TEST(StringToStringDictionary, ValuesAreBinarySafeAndFreedWithTheKeys) {
  // Run under the address sanitizer, a cell left behind by Delete, Set_Item, Clear or the
  // destructor shows as a leak.
  TStringToStringDictionary dictionary(std::nullopt, false);
  const std::string binary("a\0b", 3);
  dictionary.Add("bin", binary);
  EXPECT_EQ(dictionary.Get_Item("bin"), binary);
  for (int i = 0; i < 100; ++i)
    dictionary.Set_Item("k" + std::to_string(i % 10),
                        std::string(40, static_cast<char>('a' + i % 26)));
  dictionary.Delete("k3");
  EXPECT_EQ(dictionary.Count(), 10);
  dictionary.Clear();
  dictionary.Add("left", std::string(100, 'x'));
}
