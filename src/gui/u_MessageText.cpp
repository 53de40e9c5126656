#include "gui/u_MessageText.h"

#include "common/u_AnsiText.h"

#include <QFile>

#include <algorithm>

namespace {
QString FromAnsi(std::string_view text) {
  return QString::fromStdU16String(AnsiToUtf16(text));
}
} // namespace

QString MessageText(const std::string& message, const std::vector<std::string>& fileNames) {
  QString text;
  size_t done = 0;
  for (;;) {
    size_t at = std::string::npos, length = 0;
    for (const std::string& name : fileNames) {
      if (name.empty())
        continue;
      const size_t found = message.find(name, done);
      if (found < at || (found == at && found != std::string::npos && name.size() > length)) {
        at = found;
        length = name.size();
      }
    }
    // A quoted path, such as a folder of one of fileNames.
    if (const size_t quote = message.find("\"/", done); quote != std::string::npos) {
      const size_t start = quote + 1;
      const size_t end = std::min(message.find('"', start), message.size());
      if (start < at || (start == at && end - start > length)) {
        at = start;
        length = end - start;
      }
    }
    if (at == std::string::npos)
      break;
    text += FromAnsi(std::string_view(message).substr(done, at - done));
    text += QFile::decodeName(QByteArray(message.data() + at, qsizetype(length)));
    done = at + length;
  }
  return text + FromAnsi(std::string_view(message).substr(done));
}
