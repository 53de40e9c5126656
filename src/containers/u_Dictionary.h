#pragma once
// String-keyed dictionaries over a red-black tree: keys compared case-sensitively (ordinal
// bytes) or case-insensitively in a code page (TCodePage::CompareText, the same for every
// user); enumeration in key order when Sorted, otherwise in order of first insertion.

#include "common/u_AnsiText.h"
#include "common/u_SysUtils.h"
#include "containers/u_Classes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class EDictionaryError : public Exception {
  using Exception::Exception;
};

enum TDictionaryNotification { dnAdded, dnRemoved };

class TDictionary : public TObject {
public:
  // Keys ignore letter case as caseInsensitiveIn's texts; std::nullopt: keys are bytes.
  TDictionary(std::optional<TCodePage> caseInsensitiveIn, bool sorted);
  ~TDictionary() override;
  TDictionary(const TDictionary&) = delete;
  TDictionary& operator=(const TDictionary&) = delete;

  // "TDictionary.Add - element "%s" is already in collection" for a present key.
  void Add(const std::string& key, intptr_t value);
  // Add, but false for a present key, which keeps its value.
  bool AddIfAbsent(const std::string& key, intptr_t value);
  void Set_Item(const std::string& key, intptr_t value);
  // "TDictionary.Get_Item - element "%s" not found in collection" for an absent key.
  intptr_t Get_Item(const std::string& key) const;
  intptr_t GetItemDef(const std::string& key, intptr_t defaultValue) const;
  bool Exists(const std::string& key) const;
  // The key as it was added, for one equal to key; nullptr when there is none.
  const std::string* KeyOf(const std::string& key) const;
  // "TDictionary.Delete - element "%s" not found in collection" for an absent key.
  void Delete(const std::string& key);
  void Clear();
  int32_t Count() const;

  TStringList GetKeys() const;
  TPointerList GetValues() const;

  bool CaseInsensitive() const { return FCodePage.has_value(); }
  const std::optional<TCodePage>& CodePage() const { return FCodePage; }
  bool Sorted() const { return FSorted; }

protected:
  // Called after a value enters (dnAdded) or leaves (dnRemoved). A descendant whose Notify
  // matters on destruction must Clear in its own destructor: the base destructor no longer
  // reaches the descendant's override.
  virtual void Notify(const std::string& key, intptr_t value, TDictionaryNotification kind);

private:
  std::optional<TCodePage> FCodePage;
  bool FSorted;
  struct TState; // trees and insertion counter, the implementation's
  std::unique_ptr<TState> FState;
};

// Values are strings held in cells the dictionary owns. Adding a present key keeps the first
// value; Add and Set_Item raise only when memory runs out (std::bad_alloc), leaving the
// dictionary as it was.
class TStringToStringDictionary : public TDictionary {
public:
  TStringToStringDictionary(std::optional<TCodePage> caseInsensitiveIn, bool sorted);
  ~TStringToStringDictionary() override;

  // The value is taken over (moved in where the caller gives it up).
  void Add(const std::string& key, std::string value);
  void Set_Item(const std::string& key, std::string value);
  const std::string& Get_Item(const std::string& key) const;

protected:
  void Notify(const std::string& key, intptr_t value, TDictionaryNotification kind) override;
};
