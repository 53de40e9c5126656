#include "gui/u_MessageText.h"

#include "common/u_AnsiText.h"

QString MessageText(const std::string& message, const std::vector<std::string>& fileNames) {
  return QString::fromStdString(MessageToUtf8(message, fileNames));
}
