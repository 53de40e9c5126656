#pragma once
// What show and brand print for a script with --json or --json-lines: one JSON document, or one
// line per book as soon as the book is done and then a summary line. Every document and line
// says the version of its shape, and a command cut short (a stop signal, a refusal) still ends
// its output validly, saying why, with the books done so far.

#include <QJsonArray>
#include <QJsonObject>

#include <iosfwd>
#include <string>
#include <vector>

// The shape described in the manual; raised when a member changes its meaning or goes.
inline constexpr int JsonVersion = 2;

enum class TJsonOutput { None, Document, Lines };

// name: the file name readable (each byte that is not UTF-8 shown as U+FFFD); nameBytes: the
// name's own bytes in base64, only when it is not valid UTF-8, so that the file can be found.
void AddFileName(QJsonObject& object, const QString& name, const std::string& fileName);

// The text (UTF-8) in double quotes with JSON's escapes, so that a value holding a line break or
// " -> " still reads as one value on one line.
std::string JsonQuoted(const std::string& utf8);

class TJsonReport {
public:
  explicit TJsonReport(std::ostream& out) : FOut(out) {}
  TJsonReport(const TJsonReport&) = delete;
  TJsonReport& operator=(const TJsonReport&) = delete;

  // Starts a command's report. Each status a book can end with is counted under its own name,
  // from 0; summary holds the members the summary has besides (dryRun). The document holds
  // the books however many there are, so that a script reads one shape.
  void Begin(TJsonOutput output, const std::vector<QString>& statuses, QJsonObject summary = {});
  bool Wanted() const { return FOutput != TJsonOutput::None; }
  // One book's object, counted by its "status": written at once as a line, or kept.
  void AddBook(QJsonObject book);
  // A member of the summary besides the totals, set or replaced.
  void SetSummary(const QString& member, const QJsonValue& value) { FSummary.insert(member, value); }
  // The document, or the summary line.
  void Finish();
  // Finish for a command cut short: member ("stopped" or "error") is text. Nothing when no
  // report was begun, or it is finished already.
  void FinishCutShort(const QString& member, const QString& text);

private:
  void Write(const QJsonObject& object);

  std::ostream& FOut;
  TJsonOutput FOutput = TJsonOutput::None;
  QJsonObject FSummary;
  QJsonObject FTotals;   // books by status
  QJsonObject FCutShort; // "stopped" or "error", when the command was cut short
  QJsonArray FBooks;
};
