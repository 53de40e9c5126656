#include "gui/u_MessageText.h"

QString MessageText(const TCodePage& codePage, const std::string& message,
                    const std::vector<std::string>& fileNames) {
  return QString::fromStdString(MessageToUtf8(codePage, message, fileNames));
}
