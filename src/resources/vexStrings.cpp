#include "resources/vexStrings.h"

#include <algorithm>
#include <cstring>

std::string IntToHexText(uint32_t value, int minWidth, char fill) {
  static const char Digits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), Digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (int(digits.size()) < minWidth)
    digits.insert(digits.begin(), size_t(minWidth) - digits.size(), fill);
  return "$" + digits;
}

int CompareOrdinalText(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  // memcmp compares as unsigned char.
  const int result = common ? std::memcmp(a.data(), b.data(), common) : 0;
  if (result != 0)
    return result < 0 ? -1 : 1;
  if (a.size() == b.size())
    return 0;
  return a.size() < b.size() ? -1 : 1;
}
