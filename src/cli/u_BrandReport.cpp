#include "cli/u_BrandReport.h"

#include "cli/u_ErrorLine.h"

#include <ostream>

namespace {

const char* const StatusBranded = "branded";
const char* const StatusUnchanged = "unchanged";
const char* const StatusFailed = "failed";

const char* StatusOf(const TBrandOutcome& outcome) {
  if (!outcome.Error.empty())
    return StatusFailed;
  return outcome.Unchanged ? StatusUnchanged : StatusBranded;
}

} // namespace

const std::vector<QString>& BrandStatuses() {
  static const std::vector<QString> statuses = {StatusBranded, StatusUnchanged, StatusFailed};
  return statuses;
}

std::string UnchangedLine(const std::string& book) {
  return "unchanged " + book + ": its values are these already and no icon is given\n";
}

std::string BrandedLine(const TBrandOutcome& outcome) {
  if (outcome.Unchanged)
    return UnchangedLine(outcome.Book);
  std::string line = "branded " + outcome.Book;
  if (outcome.Output != outcome.Book)
    line += " -> " + outcome.Output;
  line += ": " + std::to_string(outcome.ValuesSet) +
          (outcome.ValuesSet == 1 ? " value" : " values") + " set, icon " +
          (outcome.IconChanged ? "replaced" : "kept") +
          (outcome.Signed             ? ", signed"
           : outcome.SignatureRemoved ? " (its digital signature was removed)"
                                      : "") +
          "\n";
  return line;
}

QJsonObject BrandOutcomeJson(const TBrandOutcome& outcome) {
  const bool written = outcome.Error.empty() && !outcome.Unchanged;
  QJsonObject object{{"status", StatusOf(outcome)},
                     {"valuesSet", written ? qint64(outcome.ValuesSet) : 0},
                     {"iconChanged", written && outcome.IconChanged},
                     {"codePage", outcome.CodePage},
                     {"signatureRemoved", outcome.SignatureRemoved},
                     {"signed", outcome.Signed}};
  AddFileName(object, "path", outcome.Book);
  AddFileName(object, "output", outcome.Output);
  if (!outcome.Error.empty())
    object.insert("error", QString::fromStdString(outcome.Error));
  return object;
}

void TBrandReport::Add(const TBrandOutcome& outcome) {
  Add(outcome, BrandedLine(outcome), {});
}

void TBrandReport::Add(const TBrandOutcome& outcome, const std::string& lines,
                       const QJsonObject& changes) {
  const std::string status = StatusOf(outcome);
  FBranded += status == StatusBranded ? 1 : 0;
  FUnchanged += status == StatusUnchanged ? 1 : 0;
  FFailed += status == StatusFailed ? 1 : 0;
  if (!outcome.Error.empty())
    FErr << ErrorLine(outcome.Book, outcome.Error);
  else
    for (const std::string& name : outcome.Hidden)
      FErr << ErrorLine(outcome.Book, "warning: \"" + name +
                                          "\" will be hidden: its new value begins with \"$\"");
  if (FJson.Wanted()) {
    QJsonObject object = BrandOutcomeJson(outcome);
    for (auto change = changes.begin(); change != changes.end(); ++change)
      object.insert(change.key(), change.value());
    FJson.AddBook(object);
  } else if (outcome.Error.empty() && FBookLines) {
    FOut << lines;
  }
}

bool TBrandReport::Finish() {
  if (FJson.Wanted())
    FJson.Finish();
  else if (FSummaryLine)
    FOut << FBranded << " branded, "
         << (FUnchanged ? std::to_string(FUnchanged) + " unchanged, " : "") << FFailed
         << " failed\n";
  return FFailed == 0;
}
