#pragma once
// The ordinal text comparison that orders named resource entries.

#include <cstdint>
#include <string>
#include <string_view>

// <0, 0, >0 comparing unsigned bytes; on a common prefix the shorter text is smaller.
int CompareOrdinalText(std::string_view a, std::string_view b);
