#include "resources/vexStrings.h"

#include <algorithm>
#include <cstring>

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
