#pragma once
// The manifest of "brand --manifest": many books, each with its own values, icon, output and
// signing. Either JSON Lines (an object per line) or CSV with a header row; a manifest whose
// first byte that is not blank is "{" is JSON Lines.

#include "cli/u_ValuesJson.h"
#include "common/u_SysUtils.h"

#include <string>
#include <vector>

// What one entry asks for; an empty text is a thing not given.
struct TManifestEntry {
  int Line = 0;        // where the entry begins in the manifest, counted from 1
  std::string Book;    // a path: the bytes given, relative to the current folder
  TNamedValues Values; // UTF-8 names and values; a CSV row's empty cell gives none
  std::string Icon;
  std::string Output;
  std::string SignPkcs12;
  std::string SignCert;
  std::string SignKey;
  std::string SignPasswordFile;
  std::string SignDescription;
  std::string SignUrl;
  std::string TimeStamp;
  std::string CodePage; // the number of the book's code page

  // Whether other asks the same for its book as this, wherever it stands and however it names
  // the book.
  bool AsksTheSame(const TManifestEntry& other) const;
};

// A line of the manifest that is not valid: where it is and what is wrong with it.
class EManifestError : public Exception {
public:
  EManifestError(int line, const std::string& problem) : Exception(problem), FLine(line) {}
  int Line() const { return FLine; }

private:
  int FLine;
};

// A CSV column named with this prefix is the variable named by the rest, whatever that is:
// "var:book" is the variable book, not the book's column.
inline constexpr const char* VariableColumnPrefix = "var:";
// Whether a CSV column of this name would not be read as the variable name: an entry's field
// (in any letter case), or a name beginning with VariableColumnPrefix.
bool IsReservedColumn(const std::string& name);

// The entries in the manifest's order. Raises EManifestError for the first line that is not
// valid: a JSON line that is no object, an unknown member, a row with the wrong number of
// cells, text that is not UTF-8, an entry without a book, or one past the limits below.
std::vector<TManifestEntry> ParseManifest(const std::string& bytes);
