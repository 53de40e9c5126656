#include "resources/u_WinInfo.h"

#include <gtest/gtest.h>

TEST(WinInfo, KindCannotBeToldSoTheOwnRewriterServes) {
  EXPECT_EQ(GetWindowsKind(), wkUnknown);
  EXPECT_TRUE(IsNonNTWindows());
  // Only the order matters elsewhere: NT kinds start at 7.
  EXPECT_EQ(int(wkWinNT), 7);
  EXPECT_LT(wkWinME, wkWinNT);
  EXPECT_EQ(int(wkWinNT52), 10);
}

TEST(WinInfo, AnsiToWideTextUsesTheResourceNameCodePage) {
  const std::u16string wide = AnsiToWideText("Caf\xE9 \x80");
  EXPECT_EQ(wide, u"Caf\u00E9 \u20AC");
  EXPECT_EQ(wide.c_str()[wide.size()], u'\0') << "terminating zero";
}
