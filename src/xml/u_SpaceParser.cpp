#include "xml/u_SpaceParser.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* SIdentifierExpected = "Identifier expected";
constexpr const char* SStringExpected = "String expected";
constexpr const char* SNumberExpected = "Number expected";
constexpr const char* SCharExpected = "''%s'' expected";
constexpr const char* SSymbolExpected = "%s expected";
constexpr const char* SInvalidString = "Invalid string constant";
constexpr const char* SLineTooLong = "Line too long";
constexpr const char* SParseError = "%s on line %d";
constexpr const char* SInvalidInteger = "'%s' is not a valid integer value";
constexpr const char* SInvalidFloat = "'%s' is not a valid floating point value";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsIdentifierStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsIdentifierChar(char c) {
  return IsIdentifierStart(c) || IsDigit(c);
}

int HexDigitValue(char c) {
  if (IsDigit(c))
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

bool IsFloatChar(char c) {
  return IsDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

bool IsFloatTypeSuffix(char c) {
  return c == 'C' || c == 'D' || c == 'S' || c == 'c' || c == 'd' || c == 's';
}

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
      return false;
  return true;
}

std::string ExpectedText(TTokenKind kind) {
  switch (kind) {
  case toEOF:
    return Format(SCharExpected, "toEOF");
  case toSymbol:
    return SIdentifierExpected;
  case toString:
  case toWString:
    return SStringExpected;
  case toInteger:
  case toFloat:
    return SNumberExpected;
  default:
    return Format(SCharExpected, std::string(1, char(kind)).c_str());
  }
}

// Decimal digits with an optional minus sign, or "$" and hexadecimal digits; false when the text is
// no integer or does not fit 64 bits.
bool TextToInt64(std::string_view text, int64_t& result) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative)
    ++i;
  uint64_t value = 0;
  if (i < text.size() && text[i] == '$') {
    ++i;
    if (i == text.size())
      return false;
    for (; i < text.size(); ++i) {
      const int digit = HexDigitValue(text[i]);
      if (digit < 0 || value > (UINT64_MAX >> 4))
        return false;
      value = (value << 4) | uint64_t(digit);
    }
  } else {
    if (i == text.size())
      return false;
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    for (; i < text.size(); ++i) {
      if (!IsDigit(text[i]))
        return false;
      const uint64_t digit = uint64_t(text[i] - '0');
      if (value > (limit - digit) / 10)
        return false;
      value = value * 10 + digit;
    }
  }
  // Hexadecimal text may fill all 64 bits; it wraps into the sign as two's complement.
  result = int64_t(negative ? ~value + 1 : value);
  return true;
}

// Optional sign, digits with "." as the decimal point, optional exponent; nothing else.
bool TextToExtended(std::string_view text, long double& result) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+'))
    ++i;
  if (i == text.size() || !(IsDigit(text[i]) || text[i] == '.'))
    return false;
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
#if __cpp_lib_to_chars >= 201611L
  const auto [end, error] = std::from_chars(first, last, result, std::chars_format::general);
  if (error != std::errc() || end != last)
    return false;
#else
  // The browser's library (libc++ 13) reads no floating point with from_chars. Its C library
  // knows only the "C" locale, so strtold reads the same, once hexadecimal, "inf" and "nan"
  // are refused as from_chars refuses them.
  if (!std::all_of(first, last, [](char c) {
        return IsDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
      }))
    return false;
  const std::string digits(first, last);
  char* end = nullptr;
  errno = 0;
  result = std::strtold(digits.c_str(), &end);
  if (errno == ERANGE || end != digits.c_str() + digits.size())
    return false;
#endif
  if (negative)
    result = -result;
  return true;
}

} // namespace

TSpaceParser::TSpaceParser(TStream& stream, bool charMode, std::optional<TCodePage> symbolCodePage)
    : FStream(stream), FBuffer(new char[BufferSize]), FCharMode(charMode),
      FSymbolCodePage(symbolCodePage) {
  FBuffer[0] = 0; // the first scan meets this sentinel and fills the buffer
  NextToken();
}

TSpaceParser::~TSpaceParser() {
  if (!FBuffer)
    return;
  try {
    FStream.Seek(-int64_t(FReadEnd - FTokenStart), soCurrent);
  } catch (...) {
    // A stream that cannot seek back keeps its position; a destructor cannot report it.
  }
}

size_t TSpaceParser::ReadBuffer(size_t keepFrom) {
  char* buffer = FBuffer.get();
  buffer[FSourceEnd] = FSaveChar;
  const bool lineWasCut = FLineCut;
  const size_t shift = keepFrom;
  if (shift > 0) {
    std::memmove(buffer, buffer + shift, FReadEnd - shift);
    FReadEnd -= shift;
    FScan -= shift;
    // A token start before the kept bytes belongs to a token already consumed.
    FTokenStart = FTokenStart >= shift ? FTokenStart - shift : FScan;
  }
  while (FReadEnd < BufferSize) {
    const int64_t count = FStream.Read(buffer + FReadEnd, int64_t(BufferSize - FReadEnd));
    if (count <= 0)
      break;
    FReadEnd += size_t(count);
  }
  FSourceEnd = FReadEnd;
  FLineCut = false;
  if (FReadEnd == BufferSize) {
    // Hold the last, incomplete line back for the next refill. Bytes before the scan position
    // belong to a token still being read and may hold line feeds of their own.
    const size_t lowest = FScan > 1 ? FScan : 1;
    size_t position = BufferSize - 2;
    while (position >= lowest && buffer[position] != '\n')
      --position;
    if (position >= lowest) {
      FSourceEnd = position + 1;
    } else if ((FCharMode || lineWasCut) && FScan < BufferSize - 1) {
      // Element content of any length arrives byte by byte, so a line read in character mode
      // may be cut anywhere; tokens read across such a cut continue after the refill.
      FSourceEnd = BufferSize - 1;
      FLineCut = true;
    } else {
      Error(SLineTooLong);
    }
  }
  FSaveChar = buffer[FSourceEnd];
  buffer[FSourceEnd] = 0;
  return shift;
}

bool TSpaceParser::RefillInsideToken(size_t& position) {
  if (!FLineCut || position != FSourceEnd)
    return false;
  FScan = position;
  position -= ReadBuffer(FTokenStart);
  return true;
}

void TSpaceParser::SkipBlanks() {
  const char* buffer = FBuffer.get();
  for (;;) {
    const unsigned char c = static_cast<unsigned char>(buffer[FScan]);
    if (c == 0) {
      ReadBuffer(FScan);
      if (buffer[FScan] == 0)
        return;
    } else if (c == '\n') {
      ++FSourceLine;
      ++FScan;
    } else if (c <= ' ') {
      ++FScan;
    } else {
      return;
    }
  }
}

TTokenKind TSpaceParser::NextToken() {
  char* buffer = FBuffer.get();
  FFloatType = 0;
  FTokenDecoded = false;
  if (FCharMode) {
    if (buffer[FScan] == 0)
      ReadBuffer(FScan);
    if (buffer[FScan] == '\n')
      ++FSourceLine;
    FTokenStart = FScan;
    FToken = static_cast<TTokenKind>(buffer[FScan]);
    if (FToken != toEOF)
      ++FScan;
    return FToken;
  }

  SkipBlanks();
  FTokenStart = FScan;
  const char c = buffer[FScan];
  if (IsIdentifierStart(c)) {
    size_t p = FScan + 1;
    do {
      while (IsIdentifierChar(buffer[p]))
        ++p;
    } while (RefillInsideToken(p));
    FScan = p;
    FToken = toSymbol;
  } else if (c == '"') {
    ScanDoubleQuoted();
  } else if (c == '\'' || c == '#') {
    ScanQuotedSequence();
  } else if (c == '$') {
    size_t p = FScan + 1;
    do {
      while (HexDigitValue(buffer[p]) >= 0)
        ++p;
    } while (RefillInsideToken(p));
    FScan = p;
    FToken = toInteger;
  } else if (c == '-' || IsDigit(c)) {
    ScanNumber();
  } else if (c == 0) {
    FToken = toEOF;
  } else {
    ++FScan;
    FToken = static_cast<TTokenKind>(c);
  }
  return FToken;
}

void TSpaceParser::ScanNumber() {
  const char* buffer = FBuffer.get();
  size_t p = FScan + 1;
  do {
    while (IsDigit(buffer[p]))
      ++p;
  } while (RefillInsideToken(p));
  FToken = toInteger;
  do {
    while (IsFloatChar(buffer[p])) {
      ++p;
      FToken = toFloat;
    }
  } while (RefillInsideToken(p));
  if (IsFloatTypeSuffix(buffer[p])) {
    FFloatType = buffer[p];
    ++p;
    FToken = toFloat;
  }
  FScan = p;
}

// A string still open at the sentinel goes on in the refilled text; the refill keeps the bytes
// from the token start, so the decoded part moves along with the unread rest.
void TSpaceParser::ScanDoubleQuoted() {
  char* buffer = FBuffer.get();
  size_t p = FTokenStart + 1;
  size_t out = FTokenStart;
  for (;;) {
    const char c = buffer[p];
    if (c == 0) {
      FScan = p;
      const size_t shift = ReadBuffer(FTokenStart);
      p -= shift;
      out -= shift;
      if (buffer[p] == 0)
        Error(SInvalidString);
      continue;
    }
    if (c == '"') {
      // Whether the quote is doubled may lie beyond a cut line; look again after the refill.
      size_t next = p + 1;
      if (RefillInsideToken(next)) {
        const size_t shift = p + 1 - next;
        p -= shift;
        out -= shift;
        continue;
      }
      if (buffer[p + 1] != '"') {
        ++p;
        break;
      }
      ++p; // a doubled quote stands for one
    } else if (c == '\n') {
      ++FSourceLine;
    }
    buffer[out++] = c;
    ++p;
  }
  FScan = p;
  FStringEnd = out;
  FTokenDecoded = true;
  FToken = toString;
}

// Apostrophe-quoted pieces and #codes without separators. The first pass finds the end (the
// whole token is then in the buffer), counts the characters and lines and notes any code above
// 255; the second decodes.
void TSpaceParser::ScanQuotedSequence() {
  char* buffer = FBuffer.get();
  size_t p = FTokenStart;
  size_t count = 0;
  bool wide = false;
  for (;;) {
    if (buffer[p] == '\'') {
      ++p;
      for (;;) {
        const char c = buffer[p];
        if (c == 0) {
          FScan = p;
          p -= ReadBuffer(FTokenStart);
          if (buffer[p] == 0)
            Error(SInvalidString);
          continue;
        }
        if (c == '\'') {
          size_t next = p + 1;
          if (RefillInsideToken(next)) {
            p = next - 1;
            continue;
          }
          if (buffer[p + 1] != '\'') {
            ++p;
            break;
          }
          ++p;
        } else if (c == '\n') {
          ++FSourceLine;
        }
        ++p;
        ++count;
      }
    } else if (buffer[p] == '#') {
      ++p;
      uint32_t code = 0; // wraps like the 32-bit value it is; only the low 16 bits are kept
      do {
        while (IsDigit(buffer[p]))
          code = code * 10 + uint32_t(buffer[p++] - '0');
      } while (RefillInsideToken(p));
      wide = wide || code > 255;
      ++count;
    } else if (!RefillInsideToken(p)) {
      break;
    }
  }
  FScan = p;
  const size_t end = p;

  if (wide)
    FWideStr.resize(count);
  size_t out = FTokenStart;
  size_t wideOut = 0;
  auto emit = [&](uint32_t code) {
    if (wide)
      FWideStr[wideOut++] = char16_t(code & 0xFFFF);
    else
      buffer[out++] = char(code);
  };
  p = FTokenStart;
  while (p < end) {
    if (buffer[p] == '\'') {
      ++p;
      for (;;) {
        if (buffer[p] == '\'') {
          if (buffer[p + 1] != '\'') {
            ++p;
            break;
          }
          ++p;
        }
        emit(static_cast<unsigned char>(buffer[p]));
        ++p;
      }
    } else {
      ++p;
      uint32_t code = 0;
      while (p < end && IsDigit(buffer[p]))
        code = code * 10 + uint32_t(buffer[p++] - '0');
      emit(code);
    }
  }
  if (wide) {
    FToken = toWString;
  } else {
    FStringEnd = out;
    FTokenDecoded = true;
    FToken = toString;
  }
}

std::string_view TSpaceParser::SourceText() const {
  return std::string_view(FBuffer.get() + FTokenStart, FScan - FTokenStart);
}

std::string TSpaceParser::TokenString() const {
  if (FTokenDecoded)
    return std::string(FBuffer.get() + FTokenStart, FStringEnd - FTokenStart);
  return std::string(SourceText());
}

int64_t TSpaceParser::TokenInt() const {
  const std::string text = TokenString();
  int64_t result = 0;
  if (!TextToInt64(text, result))
    throw EConvertError(Format(SInvalidInteger, text.c_str()));
  return result;
}

long double TSpaceParser::TokenFloat() const {
  std::string text = TokenString();
  if (FFloatType != 0 && !text.empty())
    text.pop_back();
  long double result = 0;
  if (!TextToExtended(text, result))
    throw EConvertError(Format(SInvalidFloat, text.c_str()));
  return result;
}

bool TSpaceParser::TokenSymbolIs(std::string_view symbol) const {
  if (FToken != toSymbol)
    return false;
  const std::string_view identifier = SourceText();
  if (!FSymbolCodePage)
    return SameTextAscii(identifier, symbol);
  return identifier == symbol || FSymbolCodePage->CompareText(identifier, symbol) == 0;
}

void TSpaceParser::CheckToken(TTokenKind kind) const {
  if (FToken != kind)
    Error(ExpectedText(kind));
}

void TSpaceParser::CheckTokens(std::initializer_list<TTokenKind> kinds) const {
  std::string message;
  for (const TTokenKind kind : kinds) {
    if (kind == FToken)
      return;
    message += "\r\nor " + ExpectedText(kind);
  }
  message.erase(0, 5);
  Error(message);
}

void TSpaceParser::CheckTokenSymbol(const std::string& symbol) const {
  if (!TokenSymbolIs(symbol))
    ErrorFmt(SSymbolExpected, symbol.c_str());
}

void TSpaceParser::Error(const std::string& message) const {
  throw EParserError(Format(SParseError, message.c_str(), FSourceLine));
}
