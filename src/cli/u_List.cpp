#include "cli/u_List.h"

#include "cli/u_ErrorLine.h"
#include "cli/u_StopSignals.h"
#include "mfs/u_MFS.h"

#include <QJsonArray>

#include <algorithm>
#include <ostream>

namespace {

const char* const StatusListed = "listed";
const char* const StatusFailed = "failed";

// The book's items, folders before their files, each with its path below the content's root in
// UTF-8 ("images/logo.png"; a folder's path without the "/" the text gives it).
template <typename Visit> void WalkItems(const TEBookDocument& document, Visit&& visit) {
  std::vector<std::string> folders; // the path of the folder at each depth
  WalkSubtree(*document.Content().Root(), [&](const TMFSItem& item, size_t depth) {
    folders.resize(depth);
    const std::string path =
        (depth > 0 ? folders.back() + "/" : "") + document.CodePage().AnsiToUtf8(item.Name());
    const auto* file = dynamic_cast<const TMFSFile*>(&item);
    visit(item, path, file ? file->Size() : 0, file != nullptr);
    if (!file)
      folders.push_back(path);
  });
}

void WriteListText(std::ostream& out, const TEBookDocument& document) {
  std::string text;
  WalkItems(document, [&](const TMFSItem& item, const std::string& path, uint64_t size, bool file) {
    text += Format("%c %12llu %s %s%s\n", file ? '-' : 'd', (unsigned long long)size,
                   DosDateTimeText(item.DateTime()).c_str(), path.c_str(), file ? "" : "/");
  });
  out << text;
}

QJsonArray FilesJson(const TEBookDocument& document) {
  QJsonArray files;
  WalkItems(document, [&](const TMFSItem& item, const std::string& path, uint64_t size, bool file) {
    std::string date = DosDateTimeText(item.DateTime());
    std::replace(date.begin(), date.end(), ' ', 'T'); // ISO 8601, local time as stored
    files.append(QJsonObject{{"name", QString::fromStdString(path)},
                             {"folder", !file},
                             {"size", qint64(size)},
                             {"date", QString::fromStdString(date)}});
  });
  return files;
}

} // namespace

std::vector<QString> ListStatuses() {
  return {StatusListed, StatusFailed};
}

int ListBooks(const TParsedArguments& parsed, const TConsole& console, TJsonReport& json,
              const TBookShell& shell) {
  const std::vector<std::string>& books = parsed.Operands;
  if (books.empty())
    throw EUsageError("list needs a book");
  int failed = 0;
  for (size_t i = 0; i < books.size(); ++i) {
    TEBookDocument document(shell.CodePage);
    document.KeepContent = false; // names, sizes and dates are all that is listed
    try {
      shell.Open(document, books[i], int(i) + 1, int(books.size()));
    } catch (const EFileError& e) {
      if (StopSignal() != 0)
        throw;
      console.Err << ErrorLine(e.File(), e.Message());
      QJsonObject object = shell.Json(books[i], StatusFailed);
      object.insert("error", QString::fromStdString(ErrorText({}, e.Message())));
      json.AddBook(object);
      ++failed;
      continue;
    }
    if (json.Wanted()) {
      QJsonObject object = shell.Json(books[i], StatusListed);
      object.insert("files", FilesJson(document));
      json.AddBook(object);
      continue;
    }
    // As ls names each folder of several: the book's name, then its items.
    if (books.size() > 1)
      console.Out << (i > 0 ? "\n" : "") + books[i] + ":\n";
    WriteListText(console.Out, document);
  }
  json.Finish();
  return failed == 0 ? 0 : 1;
}
