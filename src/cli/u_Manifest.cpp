#include "cli/u_Manifest.h"

#include <QJsonObject>
#include <QString>
#include <QVariant>

#include <cstring>
#include <set>
#include <string_view>
#include <strings.h>
#include <tuple>

namespace {

// Limits, so that what a manifest costs stays a small multiple of its size (the whole file is
// at most MaxWholeFileSize, read by the caller):
// A line of JSON is parsed whole, into several times its size; a CSV record is held whole.
constexpr size_t MaxManifestLineBytes = size_t(16) << 20;
// Each entry costs about 400 bytes of bookkeeping however short its line: 100,000 books keep
// that under 40 MB. A bigger batch is several runs.
constexpr size_t MaxManifestEntries = 100000;
// Each value costs about 100 bytes beside its text, however short its cell.
constexpr size_t MaxManifestValues = 1000000;
// A header cell costs a name each; books hold some tens of thousands of variables at most.
constexpr size_t MaxManifestColumns = 65536;

const char* const Utf8ByteOrderMark = "\xef\xbb\xbf";

// The entry's members that are texts, by their names in JSON and in the CSV header.
struct TEntryField {
  const char* Name;
  std::string TManifestEntry::*Text;
  bool Path; // a file name: bytes, no NUL
};

const TEntryField EntryFields[] = {
    {"book", &TManifestEntry::Book, true},
    {"icon", &TManifestEntry::Icon, true},
    {"output", &TManifestEntry::Output, true},
    {"signPkcs12", &TManifestEntry::SignPkcs12, true},
    {"signCert", &TManifestEntry::SignCert, true},
    {"signKey", &TManifestEntry::SignKey, true},
    {"signPasswordFile", &TManifestEntry::SignPasswordFile, true},
    {"signDescription", &TManifestEntry::SignDescription, false},
    {"signUrl", &TManifestEntry::SignUrl, false},
    {"timestamp", &TManifestEntry::TimeStamp, false},
    {"codePage", &TManifestEntry::CodePage, false},
};

const char* const ValuesMember = "set";

bool IsUtf8(std::string_view text) {
  const QString decoded = QString::fromUtf8(text.data(), qsizetype(text.size()));
  return decoded.isValidUtf16() && decoded.toUtf8() == QByteArray(text.data(), text.size());
}

// Puts text into the entry's field, refusing a path that the system could not open as given.
void SetField(TManifestEntry& entry, const TEntryField& field, std::string text, int line) {
  if (field.Path && text.find('\0') != std::string::npos)
    throw EManifestError(line, Format("the %s holds a NUL character", field.Name));
  entry.*field.Text = std::move(text);
}

void CheckEntry(const TManifestEntry& entry, size_t entries) {
  if (entry.Book.empty())
    throw EManifestError(entry.Line, "no book is named");
  if (entries >= MaxManifestEntries)
    throw EManifestError(entry.Line, Format("more than %zu books; brand them in several runs",
                                            MaxManifestEntries));
}

void CountValues(size_t& total, size_t added, int line) {
  total += added;
  if (total > MaxManifestValues)
    throw EManifestError(line, Format("more than %zu values in one manifest", MaxManifestValues));
}

// ---- JSON Lines

std::string FieldNameList() {
  std::string list = std::string("\"") + ValuesMember + "\"";
  for (const TEntryField& field : EntryFields)
    list += std::string(", \"") + field.Name + "\"";
  return list;
}

TManifestEntry JsonLineEntry(const std::string& text, int line) {
  TManifestEntry entry;
  entry.Line = line;
  try {
    const QJsonObject object =
        ParseJsonObject(text, "a JSON object with the book's \"book\", \"set\", ...");
    for (auto it = object.begin(); it != object.end(); ++it) {
      const std::string name = CheckedUtf8(it.key(), "a member's name");
      if (name == ValuesMember) {
        if (!it.value().isObject())
          throw Exception("\"set\" is not an object of names and text values");
        entry.Values = NamedValues(it.value().toObject());
        continue;
      }
      const TEntryField* field = nullptr;
      for (const TEntryField& known : EntryFields)
        if (name == known.Name)
          field = &known;
      if (!field)
        throw Exception("unknown member \"" + name + "\"; an entry takes " + FieldNameList());
      // A code page may be written as the number it is.
      const bool number = field->Text == &TManifestEntry::CodePage && it.value().isDouble();
      if (!it.value().isString() && !number)
        throw Exception("\"" + name + "\" is not text");
      const QString text = number ? it.value().toVariant().toString() : it.value().toString();
      SetField(entry, *field, CheckedUtf8(text, "\"" + name + "\""), line);
    }
  } catch (const EManifestError&) {
    throw;
  } catch (const Exception& e) {
    throw EManifestError(line, e.Message());
  }
  return entry;
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r") == std::string_view::npos;
}

std::vector<TManifestEntry> ParseJsonLines(std::string_view text) {
  std::vector<TManifestEntry> entries;
  size_t values = 0;
  int line = 0;
  for (size_t start = 0; start < text.size();) {
    ++line;
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view lineText = text.substr(start, end - start);
    start = end + 1;
    if (lineText.size() > MaxManifestLineBytes)
      throw EManifestError(line, Format("a line longer than %zu bytes", MaxManifestLineBytes));
    if (IsBlank(lineText))
      continue;
    TManifestEntry entry = JsonLineEntry(std::string(lineText), line);
    CheckEntry(entry, entries.size());
    CountValues(values, entry.Values.size(), line);
    entries.push_back(std::move(entry));
  }
  return entries;
}

// ---- CSV

// One record of CSV: its cells and the line it begins on.
struct TCsvRecord {
  int Line = 0;
  std::vector<std::string> Cells;
};

// Reads CSV records: cells parted by commas, records by CRLF or LF, a cell in double quotes
// holding commas, line breaks and doubled quotes. Blank lines are skipped.
class TCsvReader {
public:
  explicit TCsvReader(std::string_view text) : FText(text) {}

  // The next record; false at the end of the text.
  bool Next(TCsvRecord& record) {
    while (AtLineEnd())
      SkipLineEnd();
    if (FAt == FText.size())
      return false;
    record.Line = FLine;
    record.Cells.clear();
    const size_t start = FAt;
    for (;;) {
      if (record.Cells.size() == MaxManifestColumns)
        throw EManifestError(FLine, Format("more than %zu cells", MaxManifestColumns));
      record.Cells.push_back(Peek() == '"' ? QuotedCell() : PlainCell());
      if (FAt - start > MaxManifestLineBytes)
        throw EManifestError(record.Line,
                             Format("a row longer than %zu bytes", MaxManifestLineBytes));
      if (Peek() == ',') {
        ++FAt;
        continue;
      }
      if (FAt < FText.size())
        SkipLineEnd();
      return true;
    }
  }

private:
  std::string_view FText;
  size_t FAt = 0;
  int FLine = 1;

  char Peek() const { return FAt < FText.size() ? FText[FAt] : '\0'; }

  bool AtLineEnd() const {
    return FAt < FText.size() &&
           (FText[FAt] == '\n' || FText.substr(FAt, 2) == std::string_view("\r\n"));
  }
  void SkipLineEnd() {
    FAt += FText[FAt] == '\r' ? 2 : 1;
    ++FLine;
  }

  std::string PlainCell() {
    const size_t start = FAt;
    while (FAt < FText.size() && FText[FAt] != ',' && !AtLineEnd()) {
      if (FText[FAt] == '"')
        throw EManifestError(FLine, "a quote inside a cell that does not begin with one");
      if (FText[FAt] == '\r')
        throw EManifestError(FLine, "a carriage return without a line feed outside quotes");
      ++FAt;
    }
    return std::string(FText.substr(start, FAt - start));
  }

  std::string QuotedCell() {
    const int opened = FLine;
    std::string cell;
    for (++FAt;; ++FAt) {
      if (FAt == FText.size())
        throw EManifestError(opened, "a quoted cell is not closed");
      if (FText[FAt] == '"') {
        if (Peek2() != '"')
          break;
        ++FAt; // a doubled quote is one quote
      } else if (FText[FAt] == '\n') {
        ++FLine;
      }
      if (cell.size() > MaxManifestLineBytes)
        throw EManifestError(opened, Format("a cell longer than %zu bytes", MaxManifestLineBytes));
      cell += FText[FAt];
    }
    ++FAt;
    if (FAt < FText.size() && Peek() != ',' && !AtLineEnd())
      throw EManifestError(FLine, "text after a cell's closing quote");
    return cell;
  }

  char Peek2() const { return FAt + 1 < FText.size() ? FText[FAt + 1] : '\0'; }
};

// What a column of the CSV header gives: an entry's field, or else a variable's value.
struct TCsvColumn {
  const TEntryField* Field = nullptr;
  std::string Variable;
};

bool SameLettersIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && ::strncasecmp(a.c_str(), b, a.size()) == 0;
}

// The entry's field a CSV column of this name gives, in any letter case; null for a variable.
const TEntryField* FieldNamed(const std::string& name) {
  for (const TEntryField& field : EntryFields)
    if (SameLettersIgnoringCase(name, field.Name))
      return &field;
  return nullptr;
}

std::vector<TCsvColumn> CsvColumns(const TCsvRecord& header) {
  std::vector<TCsvColumn> columns;
  std::set<const TEntryField*> fields;
  std::set<std::string> variables;
  for (const std::string& name : header.Cells) {
    TCsvColumn column;
    const bool variable = name.rfind(VariableColumnPrefix, 0) == 0;
    column.Field = variable ? nullptr : FieldNamed(name);
    if (!column.Field) {
      column.Variable = variable ? name.substr(std::strlen(VariableColumnPrefix)) : name;
      if (column.Variable.empty())
        throw EManifestError(header.Line, "a column of the header has no name");
      if (!IsUtf8(name))
        throw EManifestError(header.Line, "the column name \"" + name + "\" is not valid UTF-8");
    }
    if (column.Field ? !fields.insert(column.Field).second
                     : !variables.insert(column.Variable).second)
      throw EManifestError(header.Line, "the header names \"" + name + "\" twice");
    columns.push_back(std::move(column));
  }
  if (!fields.count(&EntryFields[0]))
    throw EManifestError(header.Line, "the header has no \"book\" column");
  return columns;
}

TManifestEntry CsvEntry(TCsvRecord& record, const std::vector<TCsvColumn>& columns) {
  if (record.Cells.size() != columns.size())
    throw EManifestError(record.Line, Format("%zu cells where the header has %zu",
                                             record.Cells.size(), columns.size()));
  TManifestEntry entry;
  entry.Line = record.Line;
  for (size_t i = 0; i < columns.size(); ++i) {
    std::string& cell = record.Cells[i];
    if (cell.empty())
      continue; // the value stays as it is
    if (columns[i].Field) {
      if (!columns[i].Field->Path && !IsUtf8(cell))
        throw EManifestError(record.Line,
                             Format("the %s is not valid UTF-8", columns[i].Field->Name));
      SetField(entry, *columns[i].Field, std::move(cell), record.Line);
    } else {
      if (!IsUtf8(cell))
        throw EManifestError(record.Line,
                             "the value of \"" + columns[i].Variable + "\" is not valid UTF-8");
      entry.Values.emplace_back(columns[i].Variable, std::move(cell));
    }
  }
  return entry;
}

std::vector<TManifestEntry> ParseCsv(std::string_view text) {
  TCsvReader reader(text);
  TCsvRecord record;
  if (!reader.Next(record))
    throw EManifestError(1, "no header row: it is empty");
  const std::vector<TCsvColumn> columns = CsvColumns(record);
  std::vector<TManifestEntry> entries;
  size_t values = 0;
  while (reader.Next(record)) {
    TManifestEntry entry = CsvEntry(record, columns);
    CheckEntry(entry, entries.size());
    CountValues(values, entry.Values.size(), entry.Line);
    entries.push_back(std::move(entry));
  }
  return entries;
}

} // namespace

bool IsReservedColumn(const std::string& name) {
  return FieldNamed(name) || name.rfind(VariableColumnPrefix, 0) == 0;
}

bool TManifestEntry::AsksTheSame(const TManifestEntry& other) const {
  const auto fields = [](const TManifestEntry& e) {
    return std::tie(e.Values, e.Icon, e.Output, e.SignPkcs12, e.SignCert, e.SignKey,
                    e.SignPasswordFile, e.SignDescription, e.SignUrl, e.TimeStamp, e.CodePage);
  };
  return fields(*this) == fields(other);
}

std::vector<TManifestEntry> ParseManifest(const std::string& bytes) {
  std::string_view text = bytes;
  if (text.substr(0, 3) == Utf8ByteOrderMark)
    text.remove_prefix(3);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == '{')
    return ParseJsonLines(text);
  return ParseCsv(text);
}
