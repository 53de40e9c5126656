#pragma once
// A tagged value: empty, null, boolean, 32-bit integer, double, 8-bit or wide string. XML
// attribute values take the type their written form gives them.

#include "common/u_AnsiText.h"

#include <cstdint>
#include <string>
#include <variant>

enum TVarType { vtEmpty, vtNull, vtBoolean, vtInteger, vtDouble, vtString, vtWideString };

class TVariant {
public:
  TVariant() = default; // empty
  explicit TVariant(bool value) : FValue(value) {}
  explicit TVariant(int32_t value) : FValue(value) {}
  explicit TVariant(double value) : FValue(value) {}
  explicit TVariant(std::string value) : FValue(std::move(value)) {}
  explicit TVariant(const char* value) : FValue(std::string(value)) {}
  explicit TVariant(std::u16string value) : FValue(std::move(value)) {}
  explicit TVariant(const char16_t* value) : FValue(std::u16string(value)) {}
  static TVariant Null();

  TVarType VarType() const { return static_cast<TVarType>(FValue.index()); }
  bool IsEmpty() const { return VarType() == vtEmpty; }
  bool IsNull() const { return VarType() == vtNull; }
  // The held value; asking for another type than VarType is a programming error.
  bool AsBoolean() const { return std::get<bool>(FValue); }
  int32_t AsInteger() const { return std::get<int32_t>(FValue); }
  double AsDouble() const { return std::get<double>(FValue); }
  const std::string& AsString() const { return std::get<std::string>(FValue); }
  const std::u16string& AsWideString() const { return std::get<std::u16string>(FValue); }

  bool operator==(const TVariant& other) const = default;

private:
  struct TNull {
    bool operator==(const TNull&) const = default;
  };
  std::variant<std::monostate, TNull, bool, int32_t, double, std::string, std::u16string> FValue;
};

// The value as text in codePage: empty and null give the empty text,
// booleans "True" and "False", numbers their shortest decimal form with "." (at most 15
// significant digits; exponent written as E15 or E-5). A wide character the code page cannot
// hold raises EConvertError.
std::string VarToStr(const TVariant& value, const TCodePage& codePage);
