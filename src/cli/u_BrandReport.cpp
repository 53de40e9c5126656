#include "cli/u_BrandReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const char* const ResultOk = "ok";
} // namespace

std::string BrandReportJson(const std::vector<TBrandOutcome>& outcomes) {
  QJsonArray books;
  int failed = 0;
  for (const TBrandOutcome& outcome : outcomes) {
    failed += outcome.Error.empty() ? 0 : 1;
    books.append(QJsonObject{
        {"path", QString::fromStdString(outcome.Book)},
        {"output", QString::fromStdString(outcome.Output)},
        {"result", QString::fromStdString(outcome.Error.empty() ? ResultOk : outcome.Error)},
        {"signatureRemoved", outcome.SignatureRemoved},
        {"signed", outcome.Signed}});
  }
  const QJsonObject report{
      {"books", books}, {"branded", int(outcomes.size()) - failed}, {"failed", failed}};
  return QJsonDocument(report).toJson(QJsonDocument::Indented).toStdString();
}
