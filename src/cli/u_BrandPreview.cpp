#include "cli/u_BrandPreview.h"

#include "cli/u_JsonReport.h"
#include "common/u_SysUtils.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

QJsonObject Change(const QJsonValue& before, const QJsonValue& after) {
  return QJsonObject{{"old", before}, {"new", after}};
}
} // namespace

std::string IconImagesText(const std::vector<TIconImageInfo>& images) {
  std::string text;
  for (const TIconImageInfo& image : images) {
    if (!text.empty())
      text += ", ";
    text += Format("%dx%d (%d bpp)", image.Width, image.Height, image.BitsPerPixel);
  }
  return text.empty() ? "none" : text;
}

QJsonArray IconImagesJson(const std::vector<TIconImageInfo>& images) {
  QJsonArray array;
  for (const TIconImageInfo& image : images)
    array.append(QJsonObject{
        {"width", image.Width}, {"height", image.Height}, {"bitsPerPixel", image.BitsPerPixel}});
  return array;
}

std::string BrandPreviewLines(const TBrandPreview& preview) {
  const TBrandOutcome& outcome = preview.Outcome;
  if (outcome.Unchanged)
    return UnchangedLine(outcome.Book);
  std::string lines = "would brand " + outcome.Book + ":\n";
  for (const TValueChange& value : preview.Values)
    lines +=
        "  " + value.Name + ": " + JsonQuoted(value.Old) + " -> " + JsonQuoted(value.New) + "\n";
  if (outcome.IconChanged)
    lines += "  icon: " + IconImagesText(preview.OldIcon) + " -> " +
             IconImagesText(preview.NewIcon) + "\n";
  if (preview.OldTitle != preview.NewTitle)
    lines +=
        "  title: " + JsonQuoted(preview.OldTitle) + " -> " + JsonQuoted(preview.NewTitle) + "\n";
  if (outcome.Signed)
    lines += "  it would be signed\n";
  else if (outcome.SignatureRemoved)
    lines += "  its digital signature would be removed\n";
  return lines;
}

QJsonObject BrandChangesJson(const TBrandPreview& preview) {
  if (!preview.Outcome.Error.empty())
    return QJsonObject{{"dryRun", true}};
  QJsonObject variables;
  for (const TValueChange& value : preview.Values)
    variables.insert(Text(value.Name), Change(Text(value.Old), Text(value.New)));
  return QJsonObject{{"dryRun", true},
                     {"variables", variables},
                     {"icon", preview.Outcome.IconChanged
                                  ? QJsonValue(Change(IconImagesJson(preview.OldIcon),
                                                      IconImagesJson(preview.NewIcon)))
                                  : QJsonValue()},
                     {"title", Change(Text(preview.OldTitle), Text(preview.NewTitle))}};
}
