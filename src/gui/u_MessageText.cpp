#include "gui/u_MessageText.h"

QString MessageText(const TCodePage& codePage, const std::string& message,
                    const std::vector<std::string>& fileNames) {
  return QString::fromStdString(MessageToUtf8(codePage, message, fileNames));
}

QString BookInQuestion(const QString& book, const QString& copy) {
  QString text = QStringLiteral("eBook: %1").arg(book);
  if (!copy.isEmpty())
    text += QStringLiteral("\nCopy: %1").arg(copy);
  return text;
}
