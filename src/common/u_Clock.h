#pragma once
// The time stamps this system writes. With SOURCE_DATE_EPOCH set, every stamp is that moment
// (taken as UTC), so that the same input gives byte-identical output on any machine and day.

#include <ctime>
#include <optional>

// SOURCE_DATE_EPOCH, when set; raises EConvertError when it is set but is not a count of
// seconds since 1970-01-01 00:00 UTC, or is past the end of 2107, the last year a cabinet holds.
std::optional<std::time_t> SourceDateEpoch();

// The broken-down time to stamp with now: SOURCE_DATE_EPOCH in UTC when it is set and valid,
// otherwise the local time.
std::tm StampTime();
