#include "common/u_FailureCause.h"
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

// Each cause in the words a user acts on: where the book cannot be replaced, and where a copy
// cannot go, are told apart.
TEST(FailureCause, RefusedWritesSayWhatCannotBeWrittenAndWhy) {
  const struct {
    int code;
    TWriteTarget target;
    std::string folderText;
    bool copyWouldDo;
  } cases[] = {
      {EROFS, TWriteTarget::InPlace,
       "The folder \"/b\" is on a read-only file system: the book cannot be replaced there", true},
      {EACCES, TWriteTarget::InPlace,
       "The folder \"/b\" must be writable: the book is replaced by a new file written there",
       true},
      {EROFS, TWriteTarget::Copy, "The folder \"/b\" cannot be written: Read-only file system",
       true},
      {EPERM, TWriteTarget::Copy,
       "The folder \"/b\" cannot be written: Operation not permitted", true},
      {ENOENT, TWriteTarget::Copy,
       "The folder \"/b\" cannot be used: No such file or directory", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FolderRefusalText(c.code, "/b", c.target), c.folderText);
    EXPECT_EQ(CopyWouldDo(c.code), c.copyWouldDo) << c.code;
  }
  EXPECT_EQ(BookRefusalText(EROFS),
            "The book is on a read-only file system: it cannot be replaced there");
  EXPECT_EQ(BookRefusalText(EACCES), "The book is read-only: Permission denied");
}
