#pragma once
// One book of a brand: what it is given, where it goes, and what a look at the book before any
// write found (a refusal, or what the brand would change).

#include "cli/u_Backup.h"
#include "cli/u_BrandPreview.h"
#include "cli/u_ErrorLine.h"
#include "cli/u_ValuesJson.h"
#include "common/u_AnsiText.h"
#include "ebook/u_EBookDocument.h"
#include "signing/u_CodeSigner.h"

#include <exception>
#include <string>
#include <unordered_map>
#include <vector>

// Names and values to brand, in the book's code page, in the order first given, each name once;
// Given keeps them as they were given, for a book of another code page.
struct TBrandValues {
  explicit TBrandValues(TCodePage codePage) : CodePage(codePage) {}
  TCodePage CodePage;
  TVariableRows Rows;
  std::unordered_map<std::string, size_t> RowOfKey;
  TNamedValues Given; // UTF-8
};

// A brand refused before anything was written: exit status 2, as a usage mistake, but said as
// the failure it is, naming the file, without the pointer to --help.
class ERefused : public EFileError {
  using EFileError::EFileError;
};

struct TBrandJob {
  explicit TBrandJob(TBrandValues values) : Values(std::move(values)) {}

  std::string Book;
  std::string Output; // empty: the book is branded in place
  TBrandValues Values;
  std::string IconPath; // empty: the book keeps its icon
  TSigningOptions Signing;
  std::string PasswordFile;
  std::string Origin;                     // "MANIFEST:LINE" for a manifest's entry, else empty
  int Line = 0;                           // the manifest's line, 0 for a book of the command line
  TBackupKind Backup = TBackupKind::None; // what is replaced is kept so
  const std::string* Icon = nullptr;      // the icon's bytes, loaded once for every book taking it
  const TCodeSigner* Signer = nullptr;    // loaded once for every book it signs
  std::string Refusal;                    // why the job is refused, found before any write
  TBrandPreview Plan;                     // what the brand would change, found before any write

  const std::string& IconBytes() const {
    static const std::string none;
    return Icon ? *Icon : none;
  }
  // How an error line names the job: "MANIFEST:LINE: BOOK", or the book alone.
  std::string Place() const { return Origin.empty() ? Book : Origin + ": " + Book; }
};

// The key under which names that differ only in letter case are one name (CompareText):
// names are found through it, not by comparing each name with each other, which for twenty
// thousand names would take minutes of collator calls.
std::string NameKey(const std::string& name, const TCodePage& codePage);

// The grid's rows with the given values put in; an unknown or hidden name is an error.
TVariableRows BrandedRows(const TVariableRows& rows, const TBrandValues& values);

// What two paths share exactly when they name one file: the file's device and inode (any path,
// link or hard link to it), or, for a name not there yet, its place. Keys, not comparisons of
// each path with each other, so a manifest of thousands of copies is checked in a moment.
std::string FileKey(const std::string& path);

// A failure with a book as one line's text: the book's texts in it decoded, its file names kept.
// The line names the book already, so what the book lacks is said without naming it again.
std::string BookErrorText(const std::exception& error, const std::vector<std::string>& fileNames,
                          const TCodePage& codePage);
