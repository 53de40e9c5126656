#include "cli/u_ManifestTemplate.h"

#include "cli/u_Arguments.h"
#include "cli/u_Manifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <map>
#include <ostream>

namespace {

// A CSV cell as the manifest reads it back: quoted, its quotes doubled, when it holds a comma,
// a quote or a line break.
std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos)
    return text;
  std::string cell = "\"";
  for (const char c : text)
    cell += c == '"' ? std::string("\"\"") : std::string(1, c);
  return cell + "\"";
}

std::string CsvTemplate(const std::vector<TTemplateBook>& books) {
  // The variables' columns in the order first met. Names that differ in letter case are columns
  // of their own, each book's cell in its own name's, so that each reads back as the book has it.
  std::vector<std::string> names;
  std::map<std::string, size_t> columnOfName;
  for (const TTemplateBook& book : books)
    for (const auto& [name, value] : book.Values)
      if (columnOfName.try_emplace(name, names.size()).second)
        names.push_back(name);
  std::string text = "book,icon,output,codePage";
  for (const std::string& name : names)
    text += "," + CsvCell(IsReservedColumn(name) ? VariableColumnPrefix + name : name);
  text += "\n";
  for (const TTemplateBook& book : books) {
    std::vector<const std::string*> cells(names.size(), nullptr);
    for (const auto& [name, value] : book.Values)
      cells[columnOfName.at(name)] = &value;
    text += CsvCell(book.Path) + ",,," + std::to_string(book.CodePage);
    for (const std::string* cell : cells)
      text += "," + (cell ? CsvCell(*cell) : std::string());
    text += "\n";
  }
  return text;
}

std::string JsonLinesTemplate(const std::vector<TTemplateBook>& books) {
  std::string text;
  for (const TTemplateBook& book : books) {
    QJsonObject values;
    for (const auto& [name, value] : book.Values)
      values.insert(QString::fromStdString(name), QString::fromStdString(value));
    const QJsonObject entry{{"book", QString::fromStdString(book.Path)},
                            {"codePage", book.CodePage},
                            {"set", values},
                            {"icon", ""},
                            {"output", ""}};
    text += QJsonDocument(entry).toJson(QJsonDocument::Compact).toStdString() + "\n";
  }
  return text;
}

} // namespace

TTemplateBook TemplateBookOf(const TEBookDocument& document, const std::string& path) {
  const TCodePage& codePage = document.CodePage();
  TTemplateBook book{path, codePage.Number(), {}};
  for (const TVariableRow& row : document.Rows())
    book.Values.emplace_back(codePage.AnsiToUtf8(row.Name), codePage.AnsiToUtf8(row.Value));
  return book;
}

void WriteNames(std::ostream& out, const TEBookDocument& document) {
  std::string text;
  for (const TVariableRow& row : document.Rows())
    text += document.CodePage().AnsiToUtf8(row.Name) + "\n";
  out << text;
}

TTemplateFormat TemplateFormatOf(const std::string& name) {
  if (name == "csv")
    return TTemplateFormat::Csv;
  if (name == "jsonl")
    return TTemplateFormat::JsonLines;
  throw EUsageError("--template takes csv or jsonl, not " + name);
}

std::string TemplateCannotName(TTemplateFormat format, const std::string& path) {
  if (format == TTemplateFormat::JsonLines && !QByteArray::fromStdString(path).isValidUtf8())
    return "its name is not UTF-8, which a JSON Lines manifest cannot hold; use --template csv";
  return {};
}

std::string ManifestTemplate(TTemplateFormat format, const std::vector<TTemplateBook>& books) {
  return format == TTemplateFormat::Csv ? CsvTemplate(books) : JsonLinesTemplate(books);
}
