#pragma once
// The e-book's variables: named texts whose values may refer to one another by
// percent-brace-name-brace. The store reads a variables file, resolves the references once and
// answers names and resolved values; the writer below produces the file.

#include "common/u_Streams.h"
#include "common/u_SysUtils.h"
#include "containers/u_Dictionary.h"

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class EVariablesError : public Exception {
  using Exception::Exception;
};

// An entry of the file the store does not read: its name is one met before (equal ignoring
// letter case in the code page read with), whose entry wins. Kept so that a file written from
// the store holds it still: in the code page the book was made with it may be a variable, and
// nothing of the file is lost even where none reads it.
struct TShadowedEntry {
  std::string Name;
  std::string Value;      // as the file holds it
  std::string ShadowedBy; // the winning entry's name
  bool operator==(const TShadowedEntry&) const = default;
};
using TShadowedEntries = std::vector<TShadowedEntry>;

class TVariables : public TObject {
public:
  // References can multiply text (each level may double it), so resolving a few hundred bytes
  // could ask for more memory than exists; real variables hold a few kilobytes in all. All
  // resolved values together, and any expanded text, stay below this size or fail. Budget
  // beyond it: about 50 bytes of memory per byte of a file of empty entries; resolving takes
  // time linear in the resolved text.
  static constexpr size_t MaxResolvedSize = 64 * 1024 * 1024;

  // Builds the store from the bytes of a variables file; empty bytes give an empty store.
  // With stripMarker a value's leading "$" is dropped. XML errors pass through; a reference
  // cycle raises EVariablesError "Cycling reference encountered during loading variable "%s"".
  // Names and values are texts in codePage.
  TVariables(const std::string& text, bool stripMarker, const TCodePage& codePage);
  // The same from a stream, read from its position to its end.
  TVariables(TStream& stream, bool stripMarker, const TCodePage& codePage);
  ~TVariables() override;
  TVariables(const TVariables&) = delete;
  TVariables& operator=(const TVariables&) = delete;

  const TCodePage& CodePage() const { return *FValues->CodePage(); }
  // All names in case-insensitive order (TCodePage::CompareText).
  TStringList Names() const;
  bool Exists(const std::string& name) const;
  // The resolved value; the dictionary's not-found error for a name not in the store.
  const std::string& Values(const std::string& name) const;
  // The value as the file holds it (less the marker when stripped), its references unresolved;
  // the dictionary's not-found error for a name not in the store.
  const std::string& StoredValue(const std::string& name) const;
  // The text with each reference to a variable of the store replaced by its value; references
  // to other names stay as written.
  std::string ExpandText(const std::string& text) const;
  // The entries not read, in file order, those whose name is byte for byte an earlier one's
  // among them.
  const TShadowedEntries& Shadowed() const { return FShadowed; }

private:
  void Load(TStream& stream, bool stripMarker);
  void ResolveAll(size_t totalSize);
  void ResolveVariable(const std::string& name, TDictionary& marks, size_t& totalSize);

  std::unique_ptr<TStringToStringDictionary> FValues;
  std::unique_ptr<TStringToStringDictionary> FStored;
  TShadowedEntries FShadowed;
};

// The names text refers to, as written, in order (a reference the scan skips, "%%{x}", is none).
std::vector<std::string> ReferencedNames(const std::string& text);
// Whether two names are one in every code page: they differ at most in the letter case of ASCII
// letters that begin a character (in a double-byte code page a byte behind a byte of 0x80 or
// more may be the second byte of a character).
bool OneNameInEveryCodePage(const std::string& a, const std::string& b);
// What to tell of a shadowed entry read in codePage: "shadowed by "Title"", and where
// another code page may keep the two names apart, that it is one name with the other here and
// that the book may be opened with its own code page.
std::string ShadowedText(const TShadowedEntry& entry, int codePage);

// Writing a variables file: "<vars>\r\n", one entry per line, "</vars>\r\n". Entries that must
// win go first, since reading keeps the first entry of a name.
using TVariableEntries = std::vector<std::pair<std::string, std::string>>;

inline constexpr const char* SVariablesFileStart = "<vars>\r\n";
inline constexpr const char* SVariablesFileEnd = "</vars>\r\n";

// <var name="NAME">VALUE</var> and a line break: double quotes in the name doubled; in the
// value a "\" before each "<" and each "\" (the reader's own escape), every other byte as it
// is. A zero byte cannot be stored (it ends the reader's input) and raises EVariablesError.
std::string VariableEntry(const std::string& name, const std::string& value);
// The whole file for the entries in order.
std::string VariablesFileText(const TVariableEntries& entries);
// text, a whole variables file, with count blanks before its closing tag: whitespace between
// elements, which readers of the file skip (never inside a value).
std::string WithBlanks(const std::string& text, size_t count);
