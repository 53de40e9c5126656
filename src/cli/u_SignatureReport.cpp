#include "cli/u_SignatureReport.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QJsonValue TextOrNull(const std::string& text) {
  return text.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(text));
}

// "valid and trusted (root CN=...)", "valid but not trusted: why", "invalid: why".
std::string StateText(TSignatureState state, const std::string& problem,
                      const std::string& trustedBy) {
  switch (state) {
  case TSignatureState::Trusted:
    return trustedBy.empty() ? "valid and trusted" : "valid and trusted (root " + trustedBy + ")";
  case TSignatureState::Untrusted:
    return "valid but not trusted: " + problem;
  case TSignatureState::Invalid:
    break;
  }
  return "invalid: " + problem;
}

std::string TimeStampLine(const TTimeStampVerdict& stamp) {
  if (stamp.Time.empty())
    return "none";
  return stamp.Time + (stamp.Authority.empty() ? "" : " by " + stamp.Authority) +
         (stamp.Legacy ? " (countersignature)" : "") + ", " +
         StateText(stamp.State, stamp.Problem, {});
}

std::string VerdictLines(const TSignatureVerdict& verdict, const std::string& indent) {
  std::string lines;
  if (!verdict.Subject.empty())
    lines += indent + "Signer: " + verdict.Subject + "\n" + indent + "Issuer: " + verdict.Issuer +
             "\n" + indent + "Valid: " + verdict.NotBefore + " to " + verdict.NotAfter + "\n";
  lines += indent + "Time stamp: " + TimeStampLine(verdict.TimeStamp) + "\n";
  return lines;
}

QJsonObject VerdictJson(const TSignatureVerdict& verdict) {
  QJsonArray chain;
  for (const std::string& subject : verdict.Chain)
    chain.append(QString::fromStdString(subject));
  const TTimeStampVerdict& stamp = verdict.TimeStamp;
  const QJsonValue timestamp = stamp.Time.empty()
                                   ? QJsonValue()
                                   : QJsonObject{{"time", QString::fromStdString(stamp.Time)},
                                                 {"authority", TextOrNull(stamp.Authority)},
                                                 {"state", SignatureStateName(stamp.State)},
                                                 {"problem", TextOrNull(stamp.Problem)},
                                                 {"legacy", stamp.Legacy}};
  return QJsonObject{{"state", SignatureStateName(verdict.State)},
                     {"problem", TextOrNull(verdict.Problem)},
                     {"signer", TextOrNull(verdict.Subject)},
                     {"issuer", TextOrNull(verdict.Issuer)},
                     {"trustedBy", TextOrNull(verdict.TrustedBy)},
                     {"chain", chain},
                     {"notBefore", TextOrNull(verdict.NotBefore)},
                     {"notAfter", TextOrNull(verdict.NotAfter)},
                     {"timestamp", timestamp}};
}

} // namespace

std::string SignatureLines(const TImageSignature& signature) {
  if (!signature.Signed)
    return "Signed: no\n";
  std::string lines = "Signed: yes, " +
                      StateText(signature.State, signature.Problem, signature.TrustedBy) + "\n" +
                      VerdictLines(signature, "  ");
  for (const TSignatureVerdict& nested : signature.Nested)
    lines += "  Nested signature: " + StateText(nested.State, nested.Problem, nested.TrustedBy) +
             "\n" + VerdictLines(nested, "    ");
  return lines;
}

QJsonValue SignatureJson(const TImageSignature& signature) {
  if (!signature.Signed)
    return QJsonValue();
  QJsonObject object = VerdictJson(signature);
  QJsonArray nested;
  for (const TSignatureVerdict& inner : signature.Nested)
    nested.append(VerdictJson(inner));
  object.insert("nested", nested);
  return object;
}
