#include "web/u_WebBook.h"

#include "common/u_AnsiText.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Where the module's memory file system holds a book while it is read.
constexpr const char* BookFolder = "/books";

std::string Utf8(const TCodePage& codePage, const std::string& text) {
  return codePage.AnsiToUtf8(text);
}

// The file name without anything that could make it a path of the memory file system.
std::string PlainName(const std::string& name) {
  std::string plain = name.substr(name.find_last_of('/') + 1);
  return plain.empty() || plain == "." || plain == ".." ? "book.exe" : plain;
}
} // namespace

TWebBook::TWebBook() : FDocument(TCodePage(1252)) {
  ::mkdir(BookFolder, 0700);
}

void TWebBook::Open(std::string bytes, const std::string& name, int codePage,
                    TEBookProgressEvent onProgress) {
  FDocument.CloseEBook();
  FDocument.SetCodePage(TCodePage(codePage));
  FDocument.OnProgress = std::move(onProgress);
  FName = name;
  FPath = std::string(BookFolder) + "/" + PlainName(name);
  std::fflush(nullptr);
  {
    std::ofstream file(FPath, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    if (!file.flush())
      throw Exception("Not enough memory to read the book");
  }
  bytes = std::string(); // the document reads its own copy
  try {
    FDocument.OpenEBook(FPath);
  } catch (...) {
    std::remove(FPath.c_str());
    throw;
  }
  // The document holds the book's bytes: the file would only double them. Its name stays, as
  // what a brand makes is made beside a book that is there.
  ::truncate(FPath.c_str(), 0);
}

TVariableRows TWebBook::EditedRows(const TWebEdits& edits) const {
  TVariableRows rows = FDocument.Rows();
  const TCodePage& codePage = FDocument.CodePage();
  for (size_t i = 0; i < rows.size() && i < edits.size(); ++i) {
    if (!edits[i])
      continue;
    try {
      rows[i].Value = codePage.Utf8ToAnsi(*edits[i]);
    } catch (const EUnmappableCharacter& e) {
      throw Exception(CannotHoldText("The value of " + Utf8(codePage, rows[i].Name), e));
    }
  }
  return rows;
}

TWebBookView TWebBook::View(const TWebEdits& edits) const {
  const TCodePage& codePage = FDocument.CodePage();
  const TVariableRows rows = EditedRows(edits);
  const TResolution resolution = FDocument.ResolveWith(rows);
  TWebBookView view;
  view.Title = Utf8(codePage, resolution.Title);
  view.CodePage = codePage.Number();
  view.Signed = FDocument.Signature().Signed;
  view.Icon = FDocument.ShownIcon();
  for (size_t i = 0; i < rows.size(); ++i) {
    TWebRow& row = view.Rows.emplace_back();
    row.Name = Utf8(codePage, rows[i].Name);
    row.Stored = Utf8(codePage, rows[i].Value);
    row.Shown = Utf8(codePage, resolution.Rows[i].Value);
    for (const std::string& from : resolution.Rows[i].From)
      row.From.push_back(Utf8(codePage, from));
  }
  return view;
}

void TWebBook::SetIcon(const std::string& icoBytes) {
  if (icoBytes.empty())
    FDocument.ResetIcon();
  else
    FDocument.LoadNewIcon(icoBytes);
}

std::string TWebBook::Brand(const TWebEdits& edits, std::optional<long long> epoch,
                            bool& signatureRemoved) {
  const TVariableRows rows = EditedRows(edits);
  // The stamp is taken where every native brand takes it.
  if (epoch)
    ::setenv("SOURCE_DATE_EPOCH", std::to_string(*epoch).c_str(), 1);
  else
    ::unsetenv("SOURCE_DATE_EPOCH");
  TEBookUpdateResult result;
  std::string image = FDocument.BrandedImage(rows, result);
  signatureRemoved = result.SignatureRemoved;
  return image;
}

std::string TWebBook::MessageOf(const std::exception& error) const {
  std::string message = MessageToUtf8(FDocument.CodePage(), error.what(), {FPath});
  // The page names the book as its user chose it, not the module's place for it.
  for (size_t at; !FPath.empty() && (at = message.find(FPath)) != std::string::npos;)
    message.replace(at, FPath.size(), FName);
  return message;
}
