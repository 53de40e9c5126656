#include "gui/u_SigningChoice.h"

#include "gui/frm_Main.h"
#include "gui/u_Forms.h"
#include "signing/u_TimeStampHttp.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {
const char* const SSigningFile = "SigningCertificate";
const char* const SSigningSubject = "SigningSubject";
const char* const STimeStampUrl = "TimeStampServer";

// Beside the window's placement.
QString SettingsFile() {
  return FormStateFileName(QString::fromLatin1(SMainFormStateKey));
}

QString Remembered(const char* key) {
  const QSettings settings(SettingsFile(), QSettings::IniFormat);
  return settings.value(QString::fromLatin1(key)).toString();
}

// An empty value forgets the key.
void Remember(const char* key, const QString& value) {
  QSettings settings(SettingsFile(), QSettings::IniFormat);
  if (value.isEmpty())
    settings.remove(QString::fromLatin1(key));
  else
    settings.setValue(QString::fromLatin1(key), value);
}

// The common name of a one-line subject ("O=Example,CN=Example Reseller"), or the subject.
QString CommonName(const std::string& subject) {
  const QString text = QString::fromStdString(subject);
  const qsizetype at =
      text.startsWith(QStringLiteral("CN=")) ? 0 : text.indexOf(QStringLiteral(",CN="));
  if (at < 0)
    return text;
  const qsizetype start = text.indexOf('=', at) + 1;
  qsizetype end = start;
  // A comma escaped by a backslash belongs to the name.
  while (end < text.size() && !(text[end] == ',' && text[end - 1] != '\\'))
    ++end;
  return text.mid(start, end - start);
}
} // namespace

QString RememberedSigningFile() {
  return Remembered(SSigningFile);
}

void RememberSigningFile(const QString& path) {
  Remember(SSigningFile, path);
  Remember(SSigningSubject, {});
}

QString RememberedSigningSubject() {
  return Remembered(SSigningSubject);
}

void RememberSigningSubject(const QString& subject) {
  Remember(SSigningSubject, subject);
}

QString RememberedTimeStampUrl() {
  return Remembered(STimeStampUrl);
}

void RememberTimeStampUrl(const QString& url) {
  if (!url.isEmpty())
    CheckTimeStampUrl(url.toStdString());
  Remember(STimeStampUrl, url);
}

QString SigningPlanText(const QString& path, const QString& subject, const QString& timeStampUrl) {
  if (path.isEmpty())
    return QStringLiteral("Will not sign");
  const QString signer =
      subject.isEmpty() ? QStringLiteral("the certificate in %1").arg(QFileInfo(path).fileName())
                        : CommonName(subject.toStdString());
  return timeStampUrl.isEmpty()
             ? QStringLiteral("Will sign as %1, without a time stamp").arg(signer)
             : QStringLiteral("Will sign as %1, time-stamped by %2").arg(signer, timeStampUrl);
}

TSigningOptions SigningOptionsFor(const QString& path, const QString& timeStampUrl) {
  TSigningOptions options;
  const std::string file = QFile::encodeName(path).toStdString();
  if (path.endsWith(QStringLiteral(".pem"), Qt::CaseInsensitive)) {
    options.CertificateFile = file;
    options.KeyFile = file;
  } else {
    options.Pkcs12File = file;
  }
  if (!timeStampUrl.isEmpty())
    options.TimeStampUrls = {timeStampUrl.toStdString()};
  return options;
}

QString SignatureStatusText(const TImageSignature& signature) {
  if (!signature.Signed)
    return QStringLiteral("Not signed");
  QString text = signature.Subject.empty()
                     ? QStringLiteral("Signed")
                     : QStringLiteral("Signed by %1, issued by %2")
                           .arg(QString::fromStdString(signature.Subject),
                                QString::fromStdString(signature.Issuer));
  if (!signature.TimeStamp.Time.empty())
    text += QStringLiteral(", time-stamped %1").arg(QString::fromStdString(signature.TimeStamp.Time));
  const QString problem = QString::fromStdString(signature.Problem);
  switch (signature.State) {
  case TSignatureState::Trusted:
    return text + QStringLiteral("; the signature is valid and trusted");
  case TSignatureState::Untrusted:
    return text + QStringLiteral("; the signature is valid but not trusted: %1").arg(problem);
  case TSignatureState::Invalid:
    break;
  }
  return text + QStringLiteral("; the signature is invalid: %1").arg(problem);
}

QString SignatureStateText(const TImageSignature& signature) {
  if (!signature.Signed)
    return QStringLiteral("Not signed");
  const QString signer =
      QStringLiteral("Signed by %1: ")
          .arg(signature.Subject.empty() ? QStringLiteral("an unreadable certificate")
                                         : CommonName(signature.Subject));
  switch (signature.State) {
  case TSignatureState::Trusted:
    return signer + QStringLiteral("valid and trusted by %1").arg(CommonName(signature.TrustedBy));
  case TSignatureState::Untrusted:
    return signer + QStringLiteral("valid but not trusted");
  case TSignatureState::Invalid:
    break;
  }
  return signer + QStringLiteral("invalid");
}
