#include "cli/u_BrandPreview.h"

#include "cli/u_JsonReport.h"
#include "cli/u_SignatureReport.h"
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

std::string ValueLine(const TValueChange& value) {
  return "  " + value.Name + ": " + JsonQuoted(value.Old) + " -> " + JsonQuoted(value.New) + "\n";
}

std::string IconLine(const TBrandPreview& preview) {
  return "  icon: " + IconImagesText(preview.OldIcon) + " -> " + IconImagesText(preview.NewIcon) +
         "\n";
}

// Who signed the book, or "none".
std::string SignerText(const TImageSignature& signature) {
  return signature.Signed ? signature.Subject.empty() ? "unreadable" : signature.Subject : "none";
}

// The signature the book holds and the one the brand would give it, as JSON.
QJsonObject SignatureChange(const TBrandPreview& preview) {
  const TBrandOutcome& outcome = preview.Outcome;
  const QJsonValue before = SignatureJson(preview.OldSignature);
  const QJsonValue after = outcome.Unchanged ? before
                           : outcome.Signed  ? QJsonObject{{"signer", Text(preview.NewSigner)}}
                                             : QJsonValue();
  return Change(before, after);
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
    return UnchangedLine(outcome);
  std::string lines = "would brand " + outcome.Book + ":\n";
  for (const TValueChange& value : preview.Values)
    lines += ValueLine(value);
  if (outcome.IconChanged)
    lines += IconLine(preview);
  if (preview.OldTitle != preview.NewTitle)
    lines +=
        "  title: " + JsonQuoted(preview.OldTitle) + " -> " + JsonQuoted(preview.NewTitle) + "\n";
  if (outcome.Signed)
    lines += "  it would be signed\n";
  else if (outcome.SignatureRemoved)
    lines += "  its digital signature would be removed\n";
  return lines;
}

std::string BrandCheckLines(const TBrandPreview& preview) {
  const TBrandOutcome& outcome = preview.Outcome;
  if (outcome.Unchanged)
    return UnchangedLine(outcome);
  std::string lines = "differs " + outcome.Book + ":\n";
  for (const TValueChange& value : preview.Values)
    lines += ValueLine(value);
  if (outcome.IconChanged)
    lines += IconLine(preview);
  if (!preview.SignedAsAsked) {
    const TImageSignature& held = preview.OldSignature;
    lines +=
        "  signature: " + SignerText(held) +
        (held.Signed && held.State == TSignatureState::Invalid ? " (" + held.Problem + ")" : "") +
        " -> " + preview.NewSigner + "\n";
  }
  return lines;
}

QJsonObject BrandChangesJson(const TBrandPreview& preview) {
  if (!preview.Outcome.Error.empty())
    return {};
  QJsonObject variables, derived;
  for (const TValueChange& value : preview.Values)
    variables.insert(Text(value.Name), Change(Text(value.Old), Text(value.New)));
  for (const TDerivedChange& value : preview.Derived) {
    QJsonObject change = Change(Text(value.Old), Text(value.New));
    QJsonArray from;
    for (const std::string& name : value.From)
      from.append(Text(name));
    change.insert("from", from);
    derived.insert(Text(value.Name), change);
  }
  return QJsonObject{
      {"changes", QJsonObject{{"variables", variables},
                              {"derived", derived},
                              {"icon", preview.Outcome.IconChanged
                                           ? QJsonValue(Change(IconImagesJson(preview.OldIcon),
                                                               IconImagesJson(preview.NewIcon)))
                                           : QJsonValue()},
                              {"title", Change(Text(preview.OldTitle), Text(preview.NewTitle))},
                              {"signature", SignatureChange(preview)}}}};
}
