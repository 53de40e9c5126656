#include "common/u_Clock.h"

#include "common/u_SysUtils.h"

#include <cerrno>
#include <cstdlib>

namespace {
const char* const SourceDateVariable = "SOURCE_DATE_EPOCH";
// 2107-12-31 23:59:59 UTC: every stamp taken from the variable is written as a DOS date
// (cabinet members, file-system items), whose year field ends at 1980 + 127.
constexpr long long LastDosDateSeconds = 4354819199;
} // namespace

std::optional<std::time_t> SourceDateEpoch() {
  const char* text = std::getenv(SourceDateVariable);
  if (!text)
    return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long seconds = std::strtoll(text, &end, 10);
  // Digits only: a sign, blanks or a fraction would be read differently elsewhere.
  bool digits = *text != '\0';
  for (const char* c = text; *c; ++c)
    digits = digits && *c >= '0' && *c <= '9';
  if (!digits || errno == ERANGE || *end != '\0' || std::time_t(seconds) != seconds)
    throw EConvertError(
        Format("%s is not a number of seconds since 1970: \"%s\"", SourceDateVariable, text));
  if (seconds > LastDosDateSeconds)
    throw EConvertError(Format("%s is past 2107-12-31 23:59:59 UTC, the last time a cabinet "
                               "can hold: \"%s\"",
                               SourceDateVariable, text));
  return std::time_t(seconds);
}

std::tm StampTime() {
  std::tm parts{};
  std::optional<std::time_t> fixed;
  try {
    fixed = SourceDateEpoch();
  } catch (const EConvertError&) {
    // The programs refuse such a value at start; a library caller gets the clock.
  }
  if (fixed) {
    gmtime_r(&*fixed, &parts);
  } else {
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &parts);
  }
  return parts;
}
