#pragma once
// The values file of "brand --values": one JSON object whose members are variable names and
// their text values, in UTF-8.

#include <string>
#include <utility>
#include <vector>

class QJsonObject;
class QString;

using TNamedValues = std::vector<std::pair<std::string, std::string>>;

// Names and values as UTF-8, in name order. Raises Exception for text that is not
// such an object, and for a name or value that is not valid Unicode (a lone surrogate such as
// "\ud800" has no UTF-8 form: it is refused, never stored as a "?").
TNamedValues ParseValuesJson(const std::string& bytes);

// The JSON object bytes hold; Exception with the offset and the problem for anything else,
// "expected " + what for JSON that is no object.
QJsonObject ParseJsonObject(const std::string& bytes, const std::string& what);
// The members of object as names and text values, refused as ParseValuesJson refuses them.
TNamedValues NamedValues(const QJsonObject& object);
// text as UTF-8; Exception naming what when it holds a lone surrogate.
std::string CheckedUtf8(const QString& text, const std::string& what);
