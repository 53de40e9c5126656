#include "xml/u_Variant.h"

#include <gtest/gtest.h>

TEST(Variant, VarToStrOfEachType) {
  EXPECT_EQ(VarToStr(TVariant()), "");
  EXPECT_EQ(VarToStr(TVariant::Null()), "");
  EXPECT_EQ(VarToStr(TVariant(true)), "True");
  EXPECT_EQ(VarToStr(TVariant(false)), "False");
  EXPECT_EQ(VarToStr(TVariant(int32_t(-2147483647 - 1))), "-2147483648");
  EXPECT_EQ(VarToStr(TVariant(std::string("a\0b", 3))), std::string("a\0b", 3));
  EXPECT_EQ(VarToStr(TVariant(u"plain")), "plain");
}

TEST(Variant, FloatTextIsShortestWithPointAndCompactExponent) {
  EXPECT_EQ(VarToStr(TVariant(1.5)), "1.5");
  EXPECT_EQ(VarToStr(TVariant(0.1)), "0.1");
  EXPECT_EQ(VarToStr(TVariant(-100.0)), "-100");
  EXPECT_EQ(VarToStr(TVariant(123456789012345.0)), "123456789012345");
  EXPECT_EQ(VarToStr(TVariant(1e15)), "1E15");
  EXPECT_EQ(VarToStr(TVariant(0.0001)), "0.0001");
  EXPECT_EQ(VarToStr(TVariant(-2.5e-5)), "-2.5E-5");
  EXPECT_EQ(VarToStr(TVariant(1e300)), "1E300");
  EXPECT_EQ(VarToStr(TVariant(1.0 / 3)), "0.333333333333333");
}
