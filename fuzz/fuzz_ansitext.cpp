// Text from outside (command-line values, JSON files, e-book bytes) through the code-page layer:
// conversions either succeed and round-trip or raise EConvertError; comparison never fails.
#include "common/u_AnsiText.h"
#include "common/u_SysUtils.h"
#include "fuzz_locale.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)FuzzCodePage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const TCodePage& codePage = FuzzCodePage();
  try {
    const std::string ansi = codePage.Utf8ToAnsi(bytes);
    if (codePage.AnsiToUtf8(ansi) != bytes)
      std::abort();
  } catch (const EConvertError&) {
  }
  const std::string utf8 = codePage.AnsiToUtf8(bytes);
  (void)codePage.AnsiToUtf16(bytes);
  const size_t half = size / 2;
  if (codePage.CompareText(bytes.substr(0, half), bytes.substr(half)) !=
      -codePage.CompareText(bytes.substr(half), bytes.substr(0, half)))
    std::abort();
  (void)utf8;
  return 0;
}
