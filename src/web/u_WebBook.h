#pragma once
// The book as the page sees it: the e-book workflow over a book handed in as bytes, its texts
// in UTF-8, every failure a message in the words the native programs use. The module keeps
// its files in memory: the book is read from there once and forgotten, and the branded book
// is handed back as bytes.

#include "ebook/u_EBookDocument.h"

#include <optional>
#include <string>
#include <vector>

// A row as the page has it: its name, its value as stored, its value resolved; UTF-8.
struct TWebRow {
  std::string Name;
  std::string Stored;
  std::string Shown;
  std::vector<std::string> From; // the names a changed shown value follows
};

struct TWebBookView {
  std::string Title;
  int CodePage = 0;
  bool Signed = false;
  std::string Icon; // the .ico the book shows
  std::vector<TWebRow> Rows;
};

// An edit of the grid: per row, the new value (UTF-8), or none where the row is as stored.
using TWebEdits = std::vector<std::optional<std::string>>;

class TWebBook {
public:
  TWebBook();
  // Opens the book named name (its file name, which messages say) from its bytes, read in
  // codePage; raises Exception with the message to show, the document then closed.
  void Open(std::string bytes, const std::string& name, int codePage,
            TEBookProgressEvent onProgress);
  // What the page shows, with edits applied: rows resolved and the title as the book would
  // show them once branded; raises for edits the book cannot take (a reference cycle, a
  // character the code page cannot hold).
  TWebBookView View(const TWebEdits& edits) const;
  // Checks icoBytes as the window does and takes them as the new icon; empty: the book's own.
  void SetIcon(const std::string& icoBytes);
  // The branded book: the rows with edits, the new icon if any, stamped at epoch seconds (UTC)
  // when given, else the local time. The document closes, as after an update into a copy.
  std::string Brand(const TWebEdits& edits, std::optional<long long> epoch, bool& signatureRemoved);
  // A failure in the page's words: the book's texts decoded, its file named as given.
  std::string MessageOf(const std::exception& error) const;

private:
  TVariableRows EditedRows(const TWebEdits& edits) const;

  TEBookDocument FDocument;
  std::string FName;
  std::string FPath; // where the module's file system held the book while it was read
};
