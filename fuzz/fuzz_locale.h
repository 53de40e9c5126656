#pragma once
// The locale the text-handling fuzzers run under: a double-byte code page by default, so that
// names and values meet invalid lead and trail bytes in comparisons and conversions;
// FUZZ_LOCALE picks another.

#include "common/u_AnsiText.h"

#include <cstdlib>

inline void UseFuzzLocale() {
  const char* locale = std::getenv("FUZZ_LOCALE");
  ::setenv("LC_ALL", locale ? locale : "ja_JP.UTF-8", 1);
  ResetAnsiTextLocale();
}
