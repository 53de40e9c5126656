#include "xml/u_Variant.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace {

// General format with 15 significant digits, then exponents as the run-time library writes
// them: capital E, no plus sign, no leading zeros ("1E15", "1E-5").
std::string FloatToStr(double value) {
  char digits[64];
#if __cpp_lib_to_chars >= 201611L
  const auto result =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 15);
  std::string text(digits, result.ptr);
#else
  // The browser's library (libc++ 13) writes no floating point with to_chars; printf in the
  // "C" locale, the only one its C library knows, is what to_chars is defined as.
  std::string text(digits, size_t(std::snprintf(digits, sizeof digits, "%.15g", value)));
#endif
  for (char& c : text)
    c = char(std::toupper(static_cast<unsigned char>(c)));
  const size_t exponent = text.find('E');
  if (exponent != std::string::npos && exponent + 1 < text.size()) {
    size_t digitsStart = exponent + 1;
    if (text[digitsStart] == '+')
      text.erase(digitsStart, 1);
    else if (text[digitsStart] == '-')
      ++digitsStart;
    while (digitsStart + 1 < text.size() && text[digitsStart] == '0')
      text.erase(digitsStart, 1);
  }
  return text;
}

} // namespace

TVariant TVariant::Null() {
  TVariant result;
  result.FValue = TNull{};
  return result;
}

std::string VarToStr(const TVariant& value, const TCodePage& codePage) {
  switch (value.VarType()) {
  case vtEmpty:
  case vtNull:
    return std::string();
  case vtBoolean:
    return value.AsBoolean() ? "True" : "False";
  case vtInteger:
    return std::to_string(value.AsInteger());
  case vtDouble:
    return FloatToStr(value.AsDouble());
  case vtString:
    return value.AsString();
  case vtWideString:
    // Wide values come from a book's own files: they must not keep the book from opening.
    return codePage.Utf16ToAnsiReplacing(value.AsWideString());
  }
  return std::string();
}
