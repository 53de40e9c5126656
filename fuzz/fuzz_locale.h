#pragma once
// The code page the text-handling fuzzers run in, that of a locale: a double-byte one by
// default, so that names and values meet invalid lead and trail bytes in comparisons and
// conversions; FUZZ_LOCALE picks another.

#include "common/u_AnsiText.h"

#include <cstdlib>

inline const TCodePage& FuzzCodePage() {
  static const TCodePage codePage = [] {
    const char* locale = std::getenv("FUZZ_LOCALE");
    ::setenv("LC_ALL", locale ? locale : "ja_JP.UTF-8", 1);
    return TCodePage::ForLocale();
  }();
  return codePage;
}
