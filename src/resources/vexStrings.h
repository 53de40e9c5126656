#pragma once
// Number-to-text for the rewriter's temporary file names, and the ordinal text comparison that
// orders named resource entries.

#include <cstdint>
#include <string>
#include <string_view>

// "$" followed by the value's lower-case hexadecimal digits ("0" for zero), padded on the left
// with fill to at least minWidth digits.
std::string IntToHexText(uint32_t value, int minWidth, char fill);

// <0, 0, >0 comparing unsigned bytes; on a common prefix the shorter text is smaller.
int CompareOrdinalText(std::string_view a, std::string_view b);
