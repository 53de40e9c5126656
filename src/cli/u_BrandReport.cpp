#include "cli/u_BrandReport.h"

#include "cli/u_ErrorLine.h"

#include <ostream>

namespace {

const char* const StatusBranded = "branded";
const char* const StatusUnchanged = "unchanged";
const char* const StatusFailed = "failed";
const char* const StatusDiffers = "differs";

const char* StatusOf(const TBrandOutcome& outcome, TBrandMode mode = TBrandMode::Brand) {
  if (!outcome.Error.empty())
    return StatusFailed;
  return outcome.Unchanged           ? StatusUnchanged
         : mode == TBrandMode::Check ? StatusDiffers
                                     : StatusBranded;
}

} // namespace

const std::vector<QString>& BrandStatuses() {
  static const std::vector<QString> statuses = {StatusBranded, StatusUnchanged, StatusFailed};
  return statuses;
}

const std::vector<QString>& CheckStatuses() {
  static const std::vector<QString> statuses = {StatusUnchanged, StatusDiffers, StatusFailed};
  return statuses;
}

std::string UnchangedLine(const TBrandOutcome& outcome) {
  return "unchanged " + outcome.Book +
         (outcome.Output == outcome.Book ? "" : " -> " + outcome.Output) +
         ": it holds what was asked already\n";
}

std::string BrandedLine(const TBrandOutcome& outcome) {
  if (outcome.Unchanged)
    return UnchangedLine(outcome);
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
  const std::string status = StatusOf(outcome, FMode);
  FBranded += status == StatusBranded || status == StatusDiffers ? 1 : 0;
  FUnchanged += status == StatusUnchanged ? 1 : 0;
  FFailed += status == StatusFailed ? 1 : 0;
  if (!outcome.Error.empty())
    FErr << ErrorLine(outcome.Origin.empty() ? outcome.Book : outcome.Origin + ": " + outcome.Book,
                      outcome.Error);
  else
    for (const std::string& name : outcome.Hidden)
      FErr << ErrorLine(outcome.Book, "warning: \"" + name +
                                          "\" will be hidden: its new value begins with \"$\"");
  if (FJson.Wanted()) {
    QJsonObject object = BrandOutcomeJson(outcome);
    object.insert("status", StatusOf(outcome, FMode));
    if (FMode == TBrandMode::DryRun)
      object.insert("dryRun", true);
    for (auto change = changes.begin(); change != changes.end(); ++change)
      object.insert(change.key(), change.value());
    FJson.AddBook(object);
  } else if (outcome.Error.empty() && FBookLines) {
    FOut << lines;
  }
}

bool TBrandReport::Finish() {
  Stop(0);
  FJson.Finish();
  return FFailed == 0 && (FMode != TBrandMode::Check || FBranded == 0);
}

void TBrandReport::Refuse(int refused) {
  FJson.FinishCutShort("error", QString::fromStdString(std::to_string(refused) +
                                                       (refused == 1 ? " book" : " books") +
                                                       " refused; nothing written"));
}

void TBrandReport::Stop(int notReached) {
  FJson.SetSummary("notReached", notReached);
  if (FJson.Wanted() || !FSummaryLine)
    return;
  if (FMode == TBrandMode::Check)
    FOut << FUnchanged << " unchanged, " << FBranded << " differ, " << FFailed << " failed\n";
  else
    FOut << FBranded << " branded, " << FUnchanged << " unchanged, " << FFailed << " failed, "
         << notReached << " not reached\n";
}
