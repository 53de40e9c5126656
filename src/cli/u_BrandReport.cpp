#include "cli/u_BrandReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const char* const ResultOk = "ok";
const char* const ResultUnchanged = "unchanged";

std::string ResultOf(const TBrandOutcome& outcome) {
  if (!outcome.Error.empty())
    return outcome.Error;
  return outcome.Unchanged ? ResultUnchanged : ResultOk;
}
} // namespace

std::string UnchangedLine(const std::string& book) {
  return "unchanged " + book + ": its values are these already and no icon is given\n";
}

std::string BrandReportJson(const std::vector<TBrandOutcome>& outcomes) {
  QJsonArray books;
  int failed = 0;
  int unchanged = 0;
  for (const TBrandOutcome& outcome : outcomes) {
    failed += outcome.Error.empty() ? 0 : 1;
    unchanged += outcome.Unchanged ? 1 : 0;
    books.append(QJsonObject{{"path", QString::fromStdString(outcome.Book)},
                             {"output", QString::fromStdString(outcome.Output)},
                             {"result", QString::fromStdString(ResultOf(outcome))},
                             {"signatureRemoved", outcome.SignatureRemoved},
                             {"signed", outcome.Signed}});
  }
  const QJsonObject report{{"books", books},
                           {"branded", int(outcomes.size()) - failed - unchanged},
                           {"unchanged", unchanged},
                           {"failed", failed}};
  return QJsonDocument(report).toJson(QJsonDocument::Indented).toStdString();
}
