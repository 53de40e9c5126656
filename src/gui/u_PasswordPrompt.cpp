#include "gui/u_PasswordPrompt.h"

#include "gui/u_Version.h"

#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>

std::optional<TSecret> AskCertificatePassword(QWidget* parent, const QString& file,
                                              const TPasswordAnswer& answer) {
  QString typed;
  bool given = false;
  if (answer)
    given = answer(file, typed);
  else
    typed =
        QInputDialog::getText(parent, QString::fromLatin1(SApplicationTitle),
                              QStringLiteral("Password for %1:").arg(QFileInfo(file).fileName()),
                              QLineEdit::Password, {}, &given);
  QByteArray bytes = typed.toUtf8();
  typed.fill(QChar(u'\0'));
  std::optional<TSecret> secret;
  if (given) {
    secret.emplace();
    secret->Assign(bytes.constData(), size_t(bytes.size()));
  }
  bytes.fill('\0');
  return secret;
}
