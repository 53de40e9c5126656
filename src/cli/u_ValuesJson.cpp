#include "cli/u_ValuesJson.h"

#include "common/u_SysUtils.h"
#include "variables/u_Variables.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdlib>
#include <string_view>

// what names the text in the message; the text itself cannot be shown faithfully.
std::string CheckedUtf8(const QString& text, const std::string& what) {
  if (!text.isValidUtf16())
    throw Exception(what + " is not valid Unicode (it holds a lone surrogate)");
  return text.toStdString();
}

namespace {

// The UTF-8 length of the code point a "\uXXXX" escape at text[at] gives, and how many bytes of
// text it takes (a surrogate pair takes two escapes and gives 4 bytes).
std::pair<size_t, size_t> EscapedCodePoint(std::string_view text, size_t at) {
  const auto hex = [&](size_t from) {
    return from + 6 <= text.size()
               ? std::strtoul(std::string(text.substr(from + 2, 4)).c_str(), nullptr, 16)
               : 0;
  };
  const unsigned long unit = hex(at);
  if (unit >= 0xD800 && unit < 0xDC00 && text.substr(at + 6, 2) == "\\u")
    return {4, 12};
  return {unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3, 6};
}

// Refuses a JSON string that decodes to more than most bytes of UTF-8 before the text is
// parsed: the parser would hold it several times over (as UTF-16 among others) before any
// check on its length could run. Names the member whose value it is.
void CheckTextLengths(std::string_view json, size_t most) {
  std::string_view member; // the last string that ended, as written: a member's name
  bool afterColon = false;
  for (size_t at = 0; at < json.size(); ++at) {
    const char c = json[at];
    if (c != '"') {
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
        afterColon = c == ':';
      continue;
    }
    const size_t start = ++at;
    size_t decoded = 0;
    while (at < json.size() && json[at] != '"') {
      if (json[at] == '\\' && at + 1 < json.size() && json[at + 1] == 'u') {
        const auto [bytes, taken] = EscapedCodePoint(json, at);
        decoded += bytes;
        at += taken;
      } else {
        decoded += 1;
        at += json[at] == '\\' ? 2 : 1;
      }
      if (decoded > most)
        throw Exception(
            afterColon
                ? Format("the value of \"%s\" holds more than %zu bytes, the most a variable can "
                         "hold",
                         std::string(member.substr(0, 80)).c_str(), most)
                : Format("a name holds more than %zu bytes", most));
    }
    member = json.substr(start, std::min(at, json.size()) - start);
    afterColon = false;
  }
}

} // namespace

QJsonObject ParseJsonObject(const std::string& bytes, const std::string& what) {
  CheckTextLengths(bytes, TVariables::MaxResolvedSize);
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
