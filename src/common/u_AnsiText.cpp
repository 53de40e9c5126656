#include "common/u_AnsiText.h"

#include "common/u_SysUtils.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucol.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

// One code page's names and, for a single-byte one, its tables: made once per process, the
// first time a book is read with it, and shared by every thread from then on.
struct TCodePageTables {
  size_t Index = 0; // in CodePages
  int CodePage = 1252;
  const char* ConverterName = "windows-1252";
  bool SingleByte = true;
  // Single-byte code pages convert through tables instead of the converter.
  std::array<char16_t, 256> Decode{};
  std::array<char16_t, 256> DecodeFolded{}; // Decode, then simple case folding
  std::vector<uint8_t> Encode;              // by UTF-16 unit; 0 means none (U+0000 is byte 0)
};

namespace {

constexpr const char* SNoMapping = "No mapping for the Unicode character U+%04X in code page %d";
constexpr const char* SInvalidUtf8 = "The text is not valid UTF-8";
constexpr const char* STextTooLong = "The text is too long to convert";
constexpr const char* SConverterUnavailable = "Code page %d is not available: %s";
constexpr const char* SUnsupportedCodePage = "Code page %d is not one a book can be read with";

struct TCodePageName {
  int Number;
  const char* ConverterName;
};

constexpr TCodePageName Cp874{874, "windows-874"};
constexpr TCodePageName Cp932{932, "windows-932"};
constexpr TCodePageName Cp936{936, "windows-936"};
constexpr TCodePageName Cp949{949, "windows-949"};
constexpr TCodePageName Cp950{950, "windows-950"};
constexpr TCodePageName Cp1250{1250, "windows-1250"};
constexpr TCodePageName Cp1251{1251, "windows-1251"};
constexpr TCodePageName Cp1252{1252, "windows-1252"};
constexpr TCodePageName Cp1253{1253, "windows-1253"};
constexpr TCodePageName Cp1254{1254, "windows-1254"};
constexpr TCodePageName Cp1255{1255, "windows-1255"};
constexpr TCodePageName Cp1256{1256, "windows-1256"};
constexpr TCodePageName Cp1257{1257, "windows-1257"};
constexpr TCodePageName Cp1258{1258, "windows-1258"};

// Every ANSI code page of Windows, in increasing number.
constexpr const TCodePageName* CodePages[] = {&Cp874,  &Cp932,  &Cp936,  &Cp949,  &Cp950,
                                              &Cp1250, &Cp1251, &Cp1252, &Cp1253, &Cp1254,
                                              &Cp1255, &Cp1256, &Cp1257, &Cp1258};

size_t CodePageIndex(int number) {
  for (size_t i = 0; i < std::size(CodePages); ++i)
    if (CodePages[i]->Number == number)
      return i;
  throw EConvertError(Format(SUnsupportedCodePage, number));
}

struct TLanguageCodePage {
  const char* Language;
  const TCodePageName* CodePage;
};

// The ANSI code page Windows assigns to each language's locales; languages it serves only
// through Unicode, and those not listed, take windows-1252.
constexpr TLanguageCodePage LanguageCodePages[] = {
    {"cs", &Cp1250}, {"pl", &Cp1250}, {"hu", &Cp1250}, {"sk", &Cp1250}, {"sl", &Cp1250},
    {"hr", &Cp1250}, {"ro", &Cp1250}, {"sq", &Cp1250}, {"bs", &Cp1250}, {"ru", &Cp1251},
    {"uk", &Cp1251}, {"bg", &Cp1251}, {"be", &Cp1251}, {"mk", &Cp1251}, {"kk", &Cp1251},
    {"ky", &Cp1251}, {"mn", &Cp1251}, {"tt", &Cp1251}, {"ba", &Cp1251}, {"tg", &Cp1251},
    {"el", &Cp1253}, {"tr", &Cp1254}, {"az", &Cp1254}, {"uz", &Cp1254}, {"he", &Cp1255},
    {"iw", &Cp1255}, {"ar", &Cp1256}, {"fa", &Cp1256}, {"ur", &Cp1256}, {"lt", &Cp1257},
    {"lv", &Cp1257}, {"et", &Cp1257}, {"vi", &Cp1258}, {"th", &Cp874},  {"ja", &Cp932},
    {"ko", &Cp949},
};

struct TLocaleName {
  std::string Language;  // lower case
  std::string Territory; // as written
  std::string Modifier;
};

// Splits a POSIX locale name: language[_territory][.codeset][@modifier].
TLocaleName ParseLocaleName(const std::string& name) {
  TLocaleName result;
  size_t i = 0;
  while (i < name.size() && name[i] != '_' && name[i] != '.' && name[i] != '@')
    result.Language += static_cast<char>(std::tolower(static_cast<unsigned char>(name[i++])));
  if (i < name.size() && name[i] == '_') {
    ++i;
    while (i < name.size() && name[i] != '.' && name[i] != '@')
      result.Territory += name[i++];
  }
  const size_t at = name.find('@', i);
  if (at != std::string::npos)
    result.Modifier = name.substr(at + 1);
  return result;
}

std::string UserLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0')
      return value;
  }
  return "C";
}

const TCodePageName& CodePageForLocale(const TLocaleName& locale) {
  const std::string& language = locale.Language;
  if (language == "zh") {
    const std::string& territory = locale.Territory;
    return territory == "TW" || territory == "HK" || territory == "MO" ? Cp950 : Cp936;
  }
  // Serbian and Uzbek are written in two scripts; the modifier names the other one.
  if (language == "sr")
    return locale.Modifier == "latin" ? Cp1250 : Cp1251;
  if (language == "uz" && locale.Modifier == "cyrillic")
    return Cp1251;
  for (const TLanguageCodePage& entry : LanguageCodePages)
    if (language == entry.Language)
      return *entry.CodePage;
  return Cp1252;
}

struct TConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using TConverterPtr = std::unique_ptr<UConverter, TConverterCloser>;

// Bytes the converter finds undefined or malformed become their own code points, as in the
// single-byte tables.
void U_CALLCONV DecodeToOwnCodePoints(const void*, UConverterToUnicodeArgs* args,
                                      const char* codeUnits, int32_t length,
                                      UConverterCallbackReason reason, UErrorCode* error) {
  if (reason > UCNV_IRREGULAR)
    return; // reset, close or clone: nothing to write
  *error = U_ZERO_ERROR;
  for (int32_t i = 0; i < length && U_SUCCESS(*error); ++i) {
    const UChar unit = static_cast<unsigned char>(codeUnits[i]);
    ucnv_cbToUWriteUChars(args, &unit, 1, 0, error);
  }
}

TConverterPtr OpenConverter(const TCodePageTables& locale) {
  UErrorCode status = U_ZERO_ERROR;
  TConverterPtr converter(ucnv_open(locale.ConverterName, &status));
  if (U_FAILURE(status))
    throw EConvertError(Format(SConverterUnavailable, locale.CodePage, u_errorName(status)));
  // Unmappable characters must be reported, not replaced by a substitute byte.
  ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
  ucnv_setToUCallBack(converter.get(), DecodeToOwnCodePoints, nullptr, nullptr, nullptr, &status);
  return converter;
}

void BuildSingleByteTables(TCodePageTables& locale, UConverter* converter) {
  locale.Encode.assign(0x10000, 0);
  for (int byte = 0; byte < 256; ++byte) {
    const char source = static_cast<char>(byte);
    UChar target[4];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucnv_toUChars(converter, target, 4, &source, 1, &status);
    // A byte the code page leaves undefined stands for its own code point (0x81 is U+0081),
    // as the system's conversion has it: no two bytes decode alike, and none is lost.
    char16_t unit = static_cast<char16_t>(byte);
    if (U_SUCCESS(status) && length == 1 && target[0] != u'\uFFFD' && target[0] != u'\x1A' &&
        !U16_IS_SURROGATE(target[0]))
      unit = target[0];
    locale.Decode[byte] = unit;
    const UChar32 folded = u_foldCase(unit, U_FOLD_CASE_DEFAULT);
    locale.DecodeFolded[byte] = U16_LENGTH(folded) == 1 ? static_cast<char16_t>(folded) : unit;
    if (byte != 0 && locale.Encode[unit] == 0)
      locale.Encode[unit] = static_cast<uint8_t>(byte);
  }
}

std::unique_ptr<const TCodePageTables> ReadTextLocale(size_t index) {
  auto locale = std::make_unique<TCodePageTables>();
  locale->Index = index;
  locale->CodePage = CodePages[index]->Number;
  locale->ConverterName = CodePages[index]->ConverterName;
  TConverterPtr converter = OpenConverter(*locale);
  locale->SingleByte = ucnv_getMaxCharSize(converter.get()) == 1;
  if (locale->SingleByte)
    BuildSingleByteTables(*locale, converter.get());
  return locale;
}

// A cache, not a setting: every code page's tables are the same whoever asks first.
const TCodePageTables& TextLocale(size_t index) {
  static std::array<std::once_flag, std::size(CodePages)> made;
  static std::array<std::unique_ptr<const TCodePageTables>, std::size(CodePages)> locales;
  std::call_once(made[index], [index] { locales[index] = ReadTextLocale(index); });
  return *locales[index];
}

// Converters and collators are not safe to share between threads: each thread keeps its own
// converter of each code page it meets, and its own root collator.
class TThreadText {
public:
  TThreadText() : FCollator(OpenRootCollator()) {}
  ~TThreadText() { ucol_close(FCollator); }
  TThreadText(const TThreadText&) = delete;
  TThreadText& operator=(const TThreadText&) = delete;

  UConverter* Converter(const TCodePageTables& locale) {
    TConverterPtr& converter = FConverters[locale.Index];
    if (!converter)
      converter = OpenConverter(locale);
    return converter.get();
  }
  UCollator* Collator() const { return FCollator; }

private:
  // The root collation: the same order for every user.
  static UCollator* OpenRootCollator() {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* collator = ucol_open("", &status);
    if (U_FAILURE(status))
      throw EConvertError(Format("No collation available: %s", u_errorName(status)));
    // Secondary strength: accents count, case does not.
    ucol_setStrength(collator, UCOL_SECONDARY);
    return collator;
  }

  std::array<TConverterPtr, std::size(CodePages)> FConverters;
  UCollator* FCollator;
};

TThreadText& ThreadText() {
  thread_local TThreadText text;
  return text;
}

int32_t CheckedLength(size_t length) {
  if (length > static_cast<size_t>(INT32_MAX))
    throw EConvertError(STextTooLong);
  return static_cast<int32_t>(length);
}

// UTF-16 text that lives on the stack when short, so comparing keys does not allocate.
class TUtf16Buffer {
public:
  char16_t* Reserve(int32_t length) {
    if (length <= static_cast<int32_t>(FStack.size()))
      return FData = FStack.data();
    FHeap.resize(static_cast<size_t>(length));
    return FData = FHeap.data();
  }
  const char16_t* Data() const { return FData; }
  char16_t* Data() { return FData; }
  int32_t Length() const { return FLength; }
  void SetLength(int32_t length) { FLength = length; }

private:
  std::array<char16_t, 256> FStack;
  std::u16string FHeap;
  char16_t* FData = FStack.data();
  int32_t FLength = 0;
};

void Decode(const TCodePageTables& locale, std::string_view text, TUtf16Buffer& buffer) {
  const int32_t length = CheckedLength(text.size());
  if (locale.SingleByte) {
    char16_t* target = buffer.Reserve(length);
    for (int32_t i = 0; i < length; ++i)
      target[i] = locale.Decode[static_cast<unsigned char>(text[i])];
    buffer.SetLength(length);
    return;
  }
  // Each byte yields at most one unit in these code pages; preflight covers the rest.
  UConverter* converter = ThreadText().Converter(locale);
  int32_t capacity = length;
  for (;;) {
    UErrorCode status = U_ZERO_ERROR;
    char16_t* target = buffer.Reserve(capacity);
    const int32_t produced =
        ucnv_toUChars(converter, target, capacity, text.data(), length, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && produced > capacity) {
      capacity = produced;
      continue;
    }
    if (U_FAILURE(status))
      throw EConvertError(
          Format("Cannot decode text from code page %d: %s", locale.CodePage, u_errorName(status)));
    buffer.SetLength(produced);
    return;
  }
}

// Unicode simple case folding, the same in every locale: texts that differ only in letter
// case come out identical, and nothing else does. A character whose folded form would need
// another number of UTF-16 units (no such mapping exists today) is kept as it is.
void FoldCase(TUtf16Buffer& buffer) {
  char16_t* text = buffer.Data();
  const int32_t length = buffer.Length();
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c;
    U16_NEXT(text, i, length, c);
    const UChar32 folded = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    if (folded == c || U16_LENGTH(folded) != i - start)
      continue;
    int32_t at = start;
    U16_APPEND_UNSAFE(text, at, folded);
  }
}

void DecodeFolded(const TCodePageTables& locale, std::string_view text, TUtf16Buffer& buffer) {
  if (!locale.SingleByte) {
    Decode(locale, text, buffer);
    FoldCase(buffer);
    return;
  }
  const int32_t length = CheckedLength(text.size());
  char16_t* target = buffer.Reserve(length);
  for (int32_t i = 0; i < length; ++i)
    target[i] = locale.DecodeFolded[static_cast<unsigned char>(text[i])];
  buffer.SetLength(length);
}

[[noreturn]] void RaiseNoMapping(std::u16string_view text, size_t index, int codePage) {
  UChar32 codePoint = text[index];
  if (U16_IS_LEAD(text[index]) && index + 1 < text.size() && U16_IS_TRAIL(text[index + 1]))
    codePoint = U16_GET_SUPPLEMENTARY(text[index], text[index + 1]);
  throw EUnmappableCharacter(static_cast<char32_t>(codePoint), codePage);
}

std::string EncodeSingleByte(const TCodePageTables& locale, std::u16string_view text) {
  std::string result(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const uint8_t byte = locale.Encode[unit];
    if (byte == 0 && unit != 0)
      RaiseNoMapping(text, i, locale.CodePage);
    result[i] = static_cast<char>(byte);
  }
  return result;
}

std::u16string DecodeToUtf16(const TCodePageTables& locale, std::string_view text) {
  TUtf16Buffer buffer;
  Decode(locale, text, buffer);
  return std::u16string(buffer.Data(), static_cast<size_t>(buffer.Length()));
}

// Finds the first character the converter refuses, for the error message.
[[noreturn]] void RaiseFirstUnmappable(const TCodePageTables& locale, UConverter* converter,
                                       std::u16string_view text) {
  const int codePage = locale.CodePage;
  char bytes[16];
  for (size_t i = 0; i < text.size();) {
    const size_t width =
        U16_IS_LEAD(text[i]) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1]) ? 2 : 1;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t produced = ucnv_fromUChars(converter, bytes, sizeof bytes, text.data() + i,
                                             static_cast<int32_t>(width), &status);
    if (U_FAILURE(status) ||
        DecodeToUtf16(locale, std::string_view(bytes, static_cast<size_t>(produced))) !=
            text.substr(i, width))
      RaiseNoMapping(text, i, codePage);
    i += width;
  }
  throw EConvertError(Format("Cannot encode text in code page %d", codePage));
}

std::string EncodeMultiByte(const TCodePageTables& locale, std::u16string_view text) {
  UConverter* converter = ThreadText().Converter(locale);
  const int32_t length = CheckedLength(text.size());
  const int32_t capacity = UCNV_GET_MAX_BYTES_FOR_STRING(length, ucnv_getMaxCharSize(converter));
  std::string result(static_cast<size_t>(capacity), '\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t produced =
      ucnv_fromUChars(converter, result.data(), capacity, text.data(), length, &status);
  if (U_SUCCESS(status))
    result.resize(static_cast<size_t>(produced));
  // The converter skips default-ignorable characters it cannot map instead of stopping; only
  // a round trip shows that a character was lost.
  if (U_FAILURE(status) || DecodeToUtf16(locale, result) != text)
    RaiseFirstUnmappable(locale, converter, text);
  return result;
}

constexpr char ReplacementByte = '?';

// One code point at a time, each either encoded whole (and decoding back to itself) or
// replaced; linear in the text whatever it holds.
std::string EncodeReplacing(const TCodePageTables& locale, std::u16string_view text) {
  UConverter* converter = locale.SingleByte ? nullptr : ThreadText().Converter(locale);
  std::string result;
  result.reserve(text.size());
  char bytes[16];
  UChar decoded[4];
  for (size_t i = 0; i < text.size();) {
    const size_t width =
        U16_IS_LEAD(text[i]) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1]) ? 2 : 1;
    const std::u16string_view piece = text.substr(i, width);
    i += width;
    if (locale.SingleByte) {
      const uint8_t byte = width == 1 ? locale.Encode[piece[0]] : 0;
      result += byte != 0 || piece[0] == 0 ? static_cast<char>(byte) : ReplacementByte;
      continue;
    }
    UErrorCode status = U_ZERO_ERROR;
    const int32_t produced = ucnv_fromUChars(converter, bytes, sizeof bytes, piece.data(),
                                             static_cast<int32_t>(width), &status);
    UErrorCode back = U_ZERO_ERROR;
    const int32_t length = U_SUCCESS(status) && produced > 0
                               ? ucnv_toUChars(converter, decoded, 4, bytes, produced, &back)
                               : 0;
    if (U_SUCCESS(back) && length > 0 &&
        std::u16string_view(reinterpret_cast<const char16_t*>(decoded), size_t(length)) == piece)
      result.append(bytes, static_cast<size_t>(produced));
    else
      result += ReplacementByte;
  }
  return result;
}

} // namespace

EUnmappableCharacter::EUnmappableCharacter(char32_t codePoint, int codePage)
    : EConvertError(Format(SNoMapping, static_cast<unsigned>(codePoint), codePage)),
      FCodePoint(codePoint), FCodePage(codePage) {}

TCodePage::TCodePage(int number) : FTables(&TextLocale(CodePageIndex(number))) {}

TCodePage TCodePage::ForLocale() {
  return TCodePage(CodePageForLocale(ParseLocaleName(UserLocaleName())).Number);
}

int TCodePage::Number() const {
  return FTables->CodePage;
}

const char* TCodePage::ConverterName() const {
  return FTables->ConverterName;
}

const std::vector<int>& AnsiCodePages() {
  static const std::vector<int> numbers = [] {
    std::vector<int> result;
    for (const TCodePageName* codePage : CodePages)
      result.push_back(codePage->Number);
    return result;
  }();
  return numbers;
}

bool IsAnsiCodePage(int codePage) {
  return std::find(AnsiCodePages().begin(), AnsiCodePages().end(), codePage) !=
         AnsiCodePages().end();
}

std::string CannotHoldText(const std::string& what, const EUnmappableCharacter& error) {
  const char32_t codePoint = error.CodePoint();
  // The character's Unicode name is plain ASCII, so the text reads the same in any code page.
  char name[128] = {};
  UErrorCode status = U_ZERO_ERROR;
  u_charName(static_cast<UChar32>(codePoint), U_EXTENDED_CHAR_NAME, name, sizeof name, &status);
  const std::string named =
      U_SUCCESS(status) && name[0] != '\0' ? Format(" %s", name) : std::string();
  return Format("%s holds U+%04X%s, which code page %d cannot hold", what.c_str(),
                static_cast<unsigned>(codePoint), named.c_str(), error.CodePage());
}

std::u16string TCodePage::AnsiToUtf16(std::string_view text) const {
  return DecodeToUtf16(*FTables, text);
}

bool IsPlainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
  });
}

std::string TCodePage::AnsiToUtf8(std::string_view text) const {
  // Every code page of a book holds plain ASCII as ASCII: most texts need no conversion, and a
  // big one then costs no buffers several times its size.
  if (IsPlainAscii(text))
    return std::string(text);
  TUtf16Buffer buffer;
  Decode(*FTables, text, buffer);
  std::string result(static_cast<size_t>(buffer.Length()) * 3, '\0');
  int32_t produced = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &produced, buffer.Data(),
                     buffer.Length(), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status))
    throw EConvertError(Format("Cannot convert text to UTF-8: %s", u_errorName(status)));
  result.resize(static_cast<size_t>(produced));
  return result;
}

std::string TCodePage::Utf16ToAnsi(std::u16string_view text) const {
  if (FTables->SingleByte)
    return EncodeSingleByte(*FTables, text);
  return EncodeMultiByte(*FTables, text);
}

std::string TCodePage::Utf16ToAnsiReplacing(std::u16string_view text) const {
  return EncodeReplacing(*FTables, text);
}

std::string TCodePage::Utf8ToAnsi(std::string_view text) const {
  const int32_t length = CheckedLength(text.size());
  std::u16string utf16(text.size(), u'\0');
  int32_t produced = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(utf16.data(), length, &produced, text.data(), length, &status);
  if (U_FAILURE(status))
    throw EConvertError(SInvalidUtf8);
  utf16.resize(static_cast<size_t>(produced));
  return Utf16ToAnsi(utf16);
}

std::string MessageToUtf8(const TCodePage& codePage, std::string_view message,
                          const std::vector<std::string>& fileNames) {
  std::string text;
  size_t done = 0;
  for (;;) {
    size_t at = std::string_view::npos, length = 0;
    for (const std::string& name : fileNames) {
      if (name.empty())
        continue;
      const size_t found = message.find(name, done);
      if (found < at || (found == at && found != std::string_view::npos && name.size() > length)) {
        at = found;
        length = name.size();
      }
    }
    if (const size_t quote = message.find("\"/", done); quote != std::string_view::npos) {
      const size_t start = quote + 1;
      const size_t end = std::min(message.find('"', start), message.size());
      if (start < at || (start == at && end - start > length)) {
        at = start;
        length = end - start;
      }
    }
    if (at == std::string_view::npos)
      break;
    text += codePage.AnsiToUtf8(message.substr(done, at - done));
    text += message.substr(at, length);
    done = at + length;
  }
  return text + codePage.AnsiToUtf8(message.substr(done));
}

int TCodePage::CompareText(std::string_view a, std::string_view b) const {
  if (a == b)
    return 0;
  const TThreadText& thread = ThreadText();
  TUtf16Buffer first;
  TUtf16Buffer second;
  DecodeFolded(*FTables, a, first);
  DecodeFolded(*FTables, b, second);
  const UCollationResult order =
      ucol_strcoll(thread.Collator(), first.Data(), first.Length(), second.Data(), second.Length());
  if (order != UCOL_EQUAL)
    return order;
  // Collation ties between texts that fold differently are broken by code point, so that the
  // order is strict and agrees with equality.
  return u_strCompare(first.Data(), first.Length(), second.Data(), second.Length(), true);
}

void TCodePage::SortKey(std::string_view text, std::string& key) const {
  const TThreadText& thread = ThreadText();
  TUtf16Buffer buffer;
  DecodeFolded(*FTables, text, buffer);
  // The collation key with its terminating zero byte (the only zero in it), then the folded
  // text in UTF-8, whose byte order is code point order: the tie-break of CompareText.
  const size_t utf8Capacity = static_cast<size_t>(buffer.Length()) * 3;
  key.resize(std::max<size_t>(key.capacity(), 64 + utf8Capacity));
  for (;;) {
    const int32_t needed =
        ucol_getSortKey(thread.Collator(), buffer.Data(), buffer.Length(),
                        reinterpret_cast<uint8_t*>(key.data()), CheckedLength(key.size()));
    if (needed == 0)
      throw EConvertError("Cannot make a sort key");
    if (static_cast<size_t>(needed) + utf8Capacity <= key.size()) {
      int32_t produced = 0;
      UErrorCode status = U_ZERO_ERROR;
      u_strToUTF8WithSub(key.data() + needed, CheckedLength(utf8Capacity), &produced, buffer.Data(),
                         buffer.Length(), 0xFFFD, nullptr, &status);
      if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING)
        throw EConvertError(Format("Cannot make a sort key: %s", u_errorName(status)));
      key.resize(static_cast<size_t>(needed + produced));
      return;
    }
    key.resize(static_cast<size_t>(needed) + utf8Capacity);
  }
}
