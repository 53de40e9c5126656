#include "cli/u_ValuesJson.h"

#include "common/u_SysUtils.h"

#include <QJsonDocument>
#include <QJsonObject>

// what names the text in the message; the text itself cannot be shown faithfully.
std::string CheckedUtf8(const QString& text, const std::string& what) {
  if (!text.isValidUtf16())
    throw Exception(what + " is not valid Unicode (it holds a lone surrogate)");
  return text.toStdString();
}

QJsonObject ParseJsonObject(const std::string& bytes, const std::string& what) {
  QJsonParseError error;
  const QJsonDocument json =
      QJsonDocument::fromJson(QByteArray(bytes.data(), qsizetype(bytes.size())), &error);
  if (error.error != QJsonParseError::NoError)
    throw Exception(Format("not valid JSON at offset %d: %s", int(error.offset),
                           error.errorString().toStdString().c_str()));
  if (!json.isObject())
    throw Exception("expected " + what);
  return json.object();
}

TNamedValues NamedValues(const QJsonObject& object) {
  TNamedValues values;
  for (auto it = object.begin(); it != object.end(); ++it) {
    const std::string name = CheckedUtf8(it.key(), "a name");
    if (!it.value().isString())
      throw Exception("the value of \"" + name + "\" is not text");
    values.emplace_back(name, CheckedUtf8(it.value().toString(), "the value of \"" + name + "\""));
  }
  return values;
}

TNamedValues ParseValuesJson(const std::string& bytes) {
  return NamedValues(ParseJsonObject(bytes, "a JSON object of names and text values"));
}
