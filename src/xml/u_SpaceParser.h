#pragma once
// The tokenizer under the XML reader: cuts 8-bit text read from a stream into identifiers,
// quoted strings, numbers and single characters (ordinary mode), or returns every byte as a
// token of its own (character mode). The stream is read through one fixed buffer that ends on a
// line boundary, so no token of a single line is ever cut by a refill; a line longer than the
// buffer is an error, unless it is being read in character mode (element content of any length).

#include "common/u_AnsiText.h"
#include "common/u_Streams.h"
#include "common/u_SysUtils.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The current token: one of the kinds below, or, for any other character, its byte value.
using TTokenKind = uint8_t;
inline constexpr TTokenKind toEOF = 0; // end of input, also any zero byte in the input
inline constexpr TTokenKind toSymbol = 1;
inline constexpr TTokenKind toString = 2;
inline constexpr TTokenKind toInteger = 3;
inline constexpr TTokenKind toFloat = 4;
inline constexpr TTokenKind toWString = 5;

class TSpaceParser {
public:
  // The one allocation of a tokenizer; a line (and a quoted string) must fit in it whole.
  static constexpr size_t BufferSize = 0x40000;

  // Reads the first token, so Token is valid at once. The stream is not owned. Symbols compare
  // ignoring letter case in symbolCodePage, or with std::nullopt in ASCII letters only.
  TSpaceParser(TStream& stream, bool charMode, std::optional<TCodePage> symbolCodePage);
  // Leaves the stream standing at the start of the last token.
  ~TSpaceParser();
  TSpaceParser(const TSpaceParser&) = delete;
  TSpaceParser& operator=(const TSpaceParser&) = delete;

  TTokenKind NextToken();

  TTokenKind Token() const { return FToken; }
  int32_t SourceLine() const { return FSourceLine; }
  // Takes effect at the next NextToken.
  bool CharMode() const { return FCharMode; }
  void SetCharMode(bool charMode) { FCharMode = charMode; }
  bool AsciiCompare() const { return !FSymbolCodePage; }
  // The type suffix of a toFloat token (C, D, S, c, d, s), or 0.
  char FloatType() const { return FFloatType; }

  // The decoded text of a toString token; the source bytes of any other token.
  std::string TokenString() const;
  const std::u16string& TokenWideString() const { return FWideStr; }
  // "'%s' is not a valid integer value" (EConvertError) when TokenString is no integer.
  int64_t TokenInt() const;
  // Locale-independent; "'%s' is not a valid floating point value" (EConvertError).
  long double TokenFloat() const;
  bool TokenSymbolIs(std::string_view symbol) const;

  void CheckToken(TTokenKind kind) const;
  void CheckTokens(std::initializer_list<TTokenKind> kinds) const;
  void CheckTokenSymbol(const std::string& symbol) const;

  // EParserError "%s on line %d".
  [[noreturn]] void Error(const std::string& message) const;
  template <typename... TArgs> [[noreturn]] void ErrorFmt(const char* format, TArgs... args) const {
    Error(Format(format, args...));
  }

private:
  // Moves the unread bytes from keepFrom on to the front, refills the rest from the stream and
  // sets the sentinel; returns how far the kept bytes moved.
  size_t ReadBuffer(size_t keepFrom);
  // At the sentinel of a line cut short, keeps the token read so far and refills behind it;
  // false anywhere else.
  bool RefillInsideToken(size_t& position);
  void SkipBlanks();
  void ScanDoubleQuoted();
  void ScanQuotedSequence();
  void ScanNumber();

  std::string_view SourceText() const;

  TStream& FStream;
  std::unique_ptr<char[]> FBuffer;
  // Offsets into FBuffer.
  size_t FReadEnd = 0;
  size_t FScan = 0;
  size_t FSourceEnd = 0;
  size_t FTokenStart = 0;
  size_t FStringEnd = 0; // end of the decoded text of a toString token
  bool FTokenDecoded = false;
  int32_t FSourceLine = 1;
  char FSaveChar = 0;
  bool FLineCut = false; // the source ends inside a line, not after a line feed
  TTokenKind FToken = toEOF;
  char FFloatType = 0;
  std::u16string FWideStr;
  bool FCharMode;
  std::optional<TCodePage> FSymbolCodePage;
};
