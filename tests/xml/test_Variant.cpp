#include "xml/u_Variant.h"

#include <gtest/gtest.h>

TEST(Variant, VarToStrOfEachType) {
  EXPECT_EQ(VarToStr(TVariant(), TCodePage(1252)), "");
  EXPECT_EQ(VarToStr(TVariant::Null(), TCodePage(1252)), "");
  EXPECT_EQ(VarToStr(TVariant(true), TCodePage(1252)), "True");
  EXPECT_EQ(VarToStr(TVariant(false), TCodePage(1252)), "False");
  EXPECT_EQ(VarToStr(TVariant(int32_t(-2147483647 - 1)), TCodePage(1252)), "-2147483648");
  EXPECT_EQ(VarToStr(TVariant(std::string("a\0b", 3)), TCodePage(1252)), std::string("a\0b", 3));
  EXPECT_EQ(VarToStr(TVariant(u"plain"), TCodePage(1252)), "plain");
}

TEST(Variant, FloatTextIsShortestWithPointAndCompactExponent) {
  EXPECT_EQ(VarToStr(TVariant(1.5), TCodePage(1252)), "1.5");
  EXPECT_EQ(VarToStr(TVariant(0.1), TCodePage(1252)), "0.1");
  EXPECT_EQ(VarToStr(TVariant(-100.0), TCodePage(1252)), "-100");
  EXPECT_EQ(VarToStr(TVariant(123456789012345.0), TCodePage(1252)), "123456789012345");
  EXPECT_EQ(VarToStr(TVariant(1e15), TCodePage(1252)), "1E15");
  EXPECT_EQ(VarToStr(TVariant(0.0001), TCodePage(1252)), "0.0001");
  EXPECT_EQ(VarToStr(TVariant(-2.5e-5), TCodePage(1252)), "-2.5E-5");
  EXPECT_EQ(VarToStr(TVariant(1e300), TCodePage(1252)), "1E300");
  EXPECT_EQ(VarToStr(TVariant(1.0 / 3), TCodePage(1252)), "0.333333333333333");
}
