#pragma once
// The two platform notions of text the system relies on:
// - the "system ANSI code page": the code page Windows would choose for the user's locale
//   (LC_ALL, else LC_CTYPE, else LANG), windows-1252 when none fits; byte texts of the system
//   are in it, and convert to and from UTF-16 and UTF-8 here;
// - the case-insensitive comparison: two texts are equal exactly when they are equal after
//   Unicode simple case folding, the same in every locale ("Readme.txt" equals "README.TXT";
//   "a-b", "a" + soft hyphen, "1" and superscript one all differ from their look-alikes); the
//   order is the ICU collation of the user's locale over the folded texts, ties broken by
//   code point.
// Every byte decodes: one the code page leaves undefined stands for its own code point.

#include <string>
#include <string_view>

// The code page number (1252, 1251, 932, ...) and its ICU converter name ("windows-1252").
int SystemAnsiCodePage();
const char* SystemAnsiCodePageName();

std::u16string AnsiToUtf16(std::string_view text);
std::string AnsiToUtf8(std::string_view text);
// A character the code page cannot hold raises EConvertError naming it; never a silent "?".
std::string Utf16ToAnsi(std::u16string_view text);
std::string Utf8ToAnsi(std::string_view text);
// For text read from a book: a character the code page cannot hold becomes "?", as the
// platform's own conversion does, so that a book opens whatever its files hold.
std::string Utf16ToAnsiReplacing(std::u16string_view text);

// <0, 0, >0 as a orders before, with or after b, ignoring letter case (see above).
int AnsiCompareText(std::string_view a, std::string_view b);

// A byte string whose ordinal order (std::string::compare) is AnsiCompareText's order of
// the texts: dictionaries keep one per key and compare without collating each time.
void AnsiSortKey(std::string_view text, std::string& key);

// Re-reads the locale from the environment (for tests that set LANG/LC_ALL). Sort keys
// made before belong to the old locale.
void ResetAnsiTextLocale();
