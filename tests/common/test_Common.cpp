#include "common/u_Common.h"
#include "common/u_SysUtils.h"

#include <gtest/gtest.h>
#include <stdexcept>

TEST(TextChecksum, KnownValuesAndPadding) {
  EXPECT_EQ(TextChecksum(""), 0u);
  EXPECT_EQ(TextChecksum("abc"), 0x40C6C4C2u);
  EXPECT_EQ(TextChecksum("abc "), TextChecksum("abc"));
  EXPECT_EQ(TextChecksum("abcd"), 0xC8C6C4C2u); // 0x64636261 rotated left by one
  EXPECT_NE(TextChecksum("abcd"), TextChecksum("abdc"));
  // Pieces of every length give the value of the whole, whatever their cut: longer than the
  // 64-byte runs the sum takes at once, so runs start at every offset.
  const std::string text = "abcdefgh-ijklmnop-qrstu-" + std::string(150, 'v') + "wxyz!";
  for (size_t first = 0; first <= text.size(); ++first)
    for (size_t second = first; second <= text.size(); ++second) {
      TTextChecksum sum;
      sum.Add(std::string_view(text).substr(0, first));
      sum.Add(std::string_view(text).substr(first, second - first));
      sum.Add(std::string_view(text).substr(second));
      ASSERT_EQ(sum.Value(), TextChecksum(text)) << first << " " << second;
    }
}

TEST(FetchToken, CutsAtTheFirstDelimiter) {
  std::string text = "a;b";
  EXPECT_EQ(FetchToken(text, ";"), "a");
  EXPECT_EQ(text, "b");
  text = ";b";
  EXPECT_EQ(FetchToken(text, ";"), "");
  EXPECT_EQ(text, "b");
  text = "a;";
  EXPECT_EQ(FetchToken(text, ";"), "a");
  EXPECT_EQ(text, "");
  text = " ab ";
  EXPECT_EQ(FetchToken(text, ";"), " ab ");
  EXPECT_EQ(text, "");
}

TEST(ExceptionMessage, StandardAndForeignExceptions) {
  try {
    throw EConvertError("bad value");
  } catch (...) {
    EXPECT_EQ(GetExceptionMessage(), "bad value");
  }
  try {
    throw std::runtime_error("runtime");
  } catch (...) {
    EXPECT_EQ(GetExceptionMessage(), "runtime");
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_FALSE(GetExceptionMessage().empty());
  }
}
