#include "common/u_SysUtils.h"

#include <cerrno>
#include <gtest/gtest.h>

TEST(OSError, MessageCarriesCodeAndSystemText) {
  const EOSError error(ENOENT);
  EXPECT_EQ(error.ErrorCode(), ENOENT);
  EXPECT_EQ(error.Message(), "System Error.  Code: 2.\r\nNo such file or directory");
}

TEST(OSError, CodeZeroHasItsOwnText) {
  EXPECT_EQ(EOSError(0).Message(), "A call to an OS function failed");
}

TEST(Format, FillsPlaceholders) {
  EXPECT_EQ(Format("%s - element \"%s\" not found", "A", "b"), "A - element \"b\" not found");
  EXPECT_EQ(Format("(%d)", -1), "(-1)");
  EXPECT_EQ(Format("%s", ""), "");
}
