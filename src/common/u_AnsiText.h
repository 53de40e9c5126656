#pragma once
// The two platform notions of text the system relies on:
// - the book's code page (the "system ANSI code page" of the Windows machine it was made on):
//   by default the code page Windows would choose for the user's locale (LC_ALL, else LC_CTYPE,
//   else LANG), windows-1252 when none fits, read where the program starts, or whatever the user
//   chose for the book instead; each book carries its own (TCodePage). Byte texts of the book
//   are in it, and convert to and from UTF-16 and UTF-8 here. File names on disk never pass
//   through it: they are the system's bytes.
// - the case-insensitive comparison: two texts are equal exactly when they are equal after
//   Unicode simple case folding ("Readme.txt" equals "README.TXT"; "a-b", "a" + soft hyphen, "1"
//   and superscript one all differ from their look-alikes); the order is the root collation
//   (the one no locale tailors) of the folded texts, ties broken by code point. Both are the
//   same for every user whatever LANG and LC_COLLATE say, so that one book with one code page
//   gives the same names, order and bytes everywhere.
// Every byte decodes: one the code page leaves undefined stands for its own code point.

#include "common/u_SysUtils.h"

#include <string>
#include <string_view>
#include <vector>

// A character the code page cannot hold: "No mapping for the Unicode character U+%04X in code
// page %d".
class EUnmappableCharacter : public EConvertError {
public:
  EUnmappableCharacter(char32_t codePoint, int codePage);
  char32_t CodePoint() const { return FCodePoint; }
  int CodePage() const { return FCodePage; }

private:
  char32_t FCodePoint;
  int FCodePage;
};

struct TCodePageTables;

// A code page a book's texts are in, and its conversions and comparison. A value: one pointer
// to tables made once per process and shared by every thread, so passing it costs nothing and
// two books of different code pages live side by side.
class TCodePage {
public:
  // Raises EConvertError for a code page not in AnsiCodePages().
  explicit TCodePage(int number);
  // The code page Windows would choose for the user's locale, from the environment as it is
  // now; for where the program starts.
  static TCodePage ForLocale();

  // 1252, 1251, 932, ...
  int Number() const;
  // "windows-1252", its converter's name.
  const char* ConverterName() const;
  bool operator==(const TCodePage& other) const { return FTables == other.FTables; }

  std::u16string AnsiToUtf16(std::string_view text) const;
  std::string AnsiToUtf8(std::string_view text) const;
  // A character the code page cannot hold raises EUnmappableCharacter; never a silent "?".
  std::string Utf16ToAnsi(std::u16string_view text) const;
  std::string Utf8ToAnsi(std::string_view text) const;
  // For text read from a book: a character the code page cannot hold becomes "?", as the
  // platform's own conversion does, so that a book opens whatever its files hold.
  std::string Utf16ToAnsiReplacing(std::u16string_view text) const;

  // <0, 0, >0 as a orders before, with or after b, ignoring letter case (see above).
  int CompareText(std::string_view a, std::string_view b) const;
  // A byte string whose ordinal order (std::string::compare) is CompareText's order of the
  // texts: dictionaries keep one per key and compare without collating each time.
  void SortKey(std::string_view text, std::string& key) const;

private:
  const TCodePageTables* FTables;
};

// The code pages a book can be read with, in increasing number.
const std::vector<int>& AnsiCodePages();
bool IsAnsiCodePage(int codePage);

// "what holds U+0141 LATIN CAPITAL LETTER L WITH STROKE, which code page 1252 cannot hold", for
// a message that names the text (a variable, its value) the character was found in.
std::string CannotHoldText(const std::string& what, const EUnmappableCharacter& error);

// What a message adds about two names that are one in the code page in use: in the one the
// book was made with they may well be two.
inline constexpr const char* SOpenWithOtherCodePage =
    "the book was made with another code page; open it with that one";

// Whether text is printable ASCII, tabs and line breaks only: the same bytes in every code
// page and in UTF-8 (some converters swap other control bytes).
bool IsPlainAscii(std::string_view text);

// A message for the user in UTF-8. A message is a byte string of two kinds of pieces: the file
// names in it are the system's own bytes and stay as they are; everything else is in the code
// page and is decoded. File names are the occurrences of fileNames (the longest where several
// start at one place) and every quoted text that begins with "/": messages quote the paths they
// name, and every path the system hands out is absolute, such as the folder of a book.
std::string MessageToUtf8(const TCodePage& codePage, std::string_view message,
                          const std::vector<std::string>& fileNames);
