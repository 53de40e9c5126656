#include "gui/u_SigningChoice.h"

#include "gui/frm_Main.h"
#include "gui/u_Forms.h"

#include <QFile>
#include <QSettings>

namespace {
const char* const SSigningFile = "SigningCertificate";

// Beside the window's placement.
QString SettingsFile() {
  return FormStateFileName(QString::fromLatin1(SMainFormStateKey));
}
} // namespace

QString RememberedSigningFile() {
  const QSettings settings(SettingsFile(), QSettings::IniFormat);
  return settings.value(SSigningFile).toString();
}

void RememberSigningFile(const QString& path) {
  QSettings settings(SettingsFile(), QSettings::IniFormat);
  if (path.isEmpty())
    settings.remove(SSigningFile);
  else
    settings.setValue(SSigningFile, path);
}

TSigningOptions SigningOptionsFor(const QString& path) {
  TSigningOptions options;
  const std::string file = QFile::encodeName(path).toStdString();
  if (path.endsWith(QStringLiteral(".pem"), Qt::CaseInsensitive)) {
    options.CertificateFile = file;
    options.KeyFile = file;
  } else {
    options.Pkcs12File = file;
  }
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
