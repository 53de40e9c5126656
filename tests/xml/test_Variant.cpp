#include "xml/u_Variant.h"

#include <gtest/gtest.h>

TEST(Variant, TypesAndEquality) {
  EXPECT_EQ(TVariant().VarType(), vtEmpty);
  EXPECT_EQ(TVariant::Null().VarType(), vtNull);
  EXPECT_EQ(TVariant(true).VarType(), vtBoolean);
  EXPECT_EQ(TVariant(int32_t(1)).VarType(), vtInteger);
  EXPECT_EQ(TVariant(1.0).VarType(), vtDouble);
  EXPECT_EQ(TVariant("a").VarType(), vtString);
  EXPECT_EQ(TVariant(u"a").VarType(), vtWideString);
  EXPECT_NE(TVariant(), TVariant::Null());
  EXPECT_NE(TVariant("1"), TVariant(int32_t(1)));
  EXPECT_EQ(TVariant("1"), TVariant(std::string("1")));
}

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
