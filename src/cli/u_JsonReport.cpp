#include "cli/u_JsonReport.h"

#include "cli/u_StopSignals.h"

#include <QJsonDocument>

#include <ostream>

namespace {

const char* const VersionMember = "version";
const char* const TypeMember = "type";
const char* const BooksMember = "books";
const char* const StatusMember = "status";
const char* const StoppedMember = "stopped";

} // namespace

void AddFileName(QJsonObject& object, const QString& name, const std::string& fileName) {
  const QByteArray bytes = QByteArray::fromStdString(fileName);
  object.insert(name, QString::fromUtf8(bytes));
  if (!bytes.isValidUtf8())
    object.insert(name + "Bytes", QString::fromLatin1(bytes.toBase64()));
}

std::string JsonQuoted(const std::string& utf8) {
  const QByteArray array =
      QJsonDocument(QJsonArray{QString::fromStdString(utf8)}).toJson(QJsonDocument::Compact);
  return array.mid(1, array.size() - 2).toStdString(); // without the brackets
}

void TJsonReport::Begin(TJsonOutput output, const std::vector<QString>& statuses,
                        QJsonObject summary) {
  FOutput = output;
  FSummary = std::move(summary);
  for (const QString& status : statuses)
    FTotals.insert(status, 0);
}

void TJsonReport::AddBook(QJsonObject book) {
  if (!Wanted())
    return;
  const QString status = book.value(StatusMember).toString();
  FTotals.insert(status, FTotals.value(status).toInt() + 1);
  if (FOutput == TJsonOutput::Lines) {
    book.insert(TypeMember, "book");
    book.insert(VersionMember, JsonVersion);
    Write(book);
  } else {
    FBooks.append(book);
  }
}

void TJsonReport::Finish() {
  if (!Wanted())
    return;
  // A stop that came after the last book still ends the program as a stop: say so.
  if (const int signal = StopSignal(); signal != 0 && !FCutShort.contains(StoppedMember))
    FCutShort.insert(StoppedMember, StopSignalName(signal));
  // The summary's members with the totals (and the books).
  QJsonObject last = FSummary;
  for (auto total = FTotals.begin(); total != FTotals.end(); ++total)
    last.insert(total.key(), total.value());
  if (FOutput == TJsonOutput::Lines)
    last.insert(TypeMember, "summary");
  else
    last.insert(BooksMember, FBooks);
  for (auto reason = FCutShort.begin(); reason != FCutShort.end(); ++reason)
    last.insert(reason.key(), reason.value());
  last.insert(VersionMember, JsonVersion);
  Write(last);
  FOutput = TJsonOutput::None;
}

void TJsonReport::FinishCutShort(const QString& member, const QString& text) {
  if (!Wanted())
    return;
  FCutShort.insert(member, text);
  Finish();
}

void TJsonReport::Write(const QJsonObject& object) {
  // One insertion a document or line, so that it reaches the file in one write; flushed, so a
  // line is there as soon as its book is done. A compact line has no line break of its own.
  const bool lines = FOutput == TJsonOutput::Lines;
  FOut << QJsonDocument(object)
                  .toJson(lines ? QJsonDocument::Compact : QJsonDocument::Indented)
                  .toStdString() +
              (lines ? "\n" : "")
       << std::flush;
}
