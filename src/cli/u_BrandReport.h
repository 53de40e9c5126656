#pragma once
// What brand (and its dry run) tells of each book as it is done, and of the batch at its end:
// a line per book and the summary for people, or each book's JSON object for a script.

#include "cli/u_JsonReport.h"

#include <QJsonObject>

#include <iosfwd>
#include <string>
#include <vector>

struct TBrandOutcome {
  std::string Book;
  std::string Output; // where the branded book is (the book itself unless --output)
  std::string Error;  // empty when it was branded
  bool SignatureRemoved = false;
  bool Signed = false;    // the branded book carries the reseller's signature
  bool Unchanged = false; // it had nothing to change and was not written
  size_t ValuesSet = 0;   // the values the brand wrote
  bool IconChanged = false;
  std::vector<std::string> Hidden{}; // names (UTF-8) whose new value begins with "$"
  int CodePage = 0;                  // of the book's texts
  std::string Origin;                // "MANIFEST:LINE" for a manifest's entry, else empty
};

// The statuses a brand's book ends with, counted in its summary.
const std::vector<QString>& BrandStatuses();
// The statuses of "brand --check": the book holds what was asked ("unchanged"), it differs, or
// it failed.
const std::vector<QString>& CheckStatuses();

// "branded BOOK: 2 values set, icon kept", or the unchanged line.
std::string BrandedLine(const TBrandOutcome& outcome);
// "unchanged BOOK: ..." (or "BOOK -> COPY"): the line of a book that had nothing to change.
std::string UnchangedLine(const TBrandOutcome& outcome);

// What a brand tells when it stops or refuses: the summary of the text.
enum class TBrandMode { Brand, DryRun, Check };

// {"path", "output", "status": "branded", "unchanged" or "failed", "error" (when failed),
//  "valuesSet", "iconChanged", "codePage", "signatureRemoved", "signed"}
QJsonObject BrandOutcomeJson(const TBrandOutcome& outcome);

// Takes each book's outcome as it comes: a warning line for each variable it hides and its
// error line on standard error, and its line on standard output or its JSON object.
class TBrandReport {
public:
  // summaryLine: the summary ends the lines (several books); bookLines: standard output takes
  // lines (not when it carries the branded book).
  TBrandReport(std::ostream& out, std::ostream& err, TJsonReport& json, bool summaryLine,
               bool bookLines, TBrandMode mode = TBrandMode::Brand)
      : FOut(out), FErr(err), FJson(json), FSummaryLine(summaryLine), FBookLines(bookLines),
        FMode(mode) {}
  // A brand's book.
  void Add(const TBrandOutcome& outcome);
  // A dry run's book: lines say what would change, and changes join its JSON object.
  void Add(const TBrandOutcome& outcome, const std::string& lines, const QJsonObject& changes);
  // The summary, as a line or as JSON; whether every book came through (for --check, whether
  // every book holds what was asked).
  bool Finish();
  // The summary line of a batch that stops with notReached books not started; the JSON report
  // gets their number and is ended by whoever handles the stop.
  void Stop(int notReached);
  // Ends the JSON report of a batch refused before any write, the refused books added.
  void Refuse(int refused);

private:
  std::ostream& FOut;
  std::ostream& FErr;
  TJsonReport& FJson;
  bool FSummaryLine;
  bool FBookLines;
  TBrandMode FMode;
  int FBranded = 0; // for --check: the books that differ
  int FUnchanged = 0;
  int FFailed = 0;
};
