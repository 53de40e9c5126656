#include "ResTestSupport.h"

#include "common/u_Files.h"
#include "resources/vexResTree.h"
#include "resources/vexStrings.h"
#include "resources/vexTools.h"

#include <fcntl.h>
#include <unistd.h>

static TByteView View(const std::string& bytes) {
  return TByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(vexTools, AlignUpIsUnsigned32Bit) {
  EXPECT_EQ(AlignUp(0, 0x200), 0u);
  EXPECT_EQ(AlignUp(1, 0x200), 0x200u);
  EXPECT_EQ(AlignUp(0x200, 0x200), 0x200u);
  EXPECT_EQ(AlignUp(0x201, 0x1000), 0x1000u);
  EXPECT_EQ(AlignUp(0xFFFFFFFFu, 0x200), 0u) << "wraps like the 32-bit original";
}

TEST(vexStrings, HexTextAndTempNames) {
  EXPECT_EQ(IntToHexText(0, 1, '0'), "$0");
  EXPECT_EQ(IntToHexText(0xABC, 8, '0'), "$00000abc");
  EXPECT_EQ(IntToHexText(0x12345678, 1, '0'), "$12345678");
  EXPECT_EQ(IntToHexText(0xFFFFFFFFu, 10, ' '), "$  ffffffff");
  ::setenv("TMPDIR", "/some/folder", 1);
  char pid[16];
  std::snprintf(pid, sizeof pid, "%08x", unsigned(::getpid()));
  EXPECT_EQ(ResTempFileName(0x1f), std::string("/some/folder/$vex$res$") + pid + "$1f$");
  ::unsetenv("TMPDIR");
}

TEST(vexStrings, OrdinalComparisonOfBytes) {
  EXPECT_LT(CompareOrdinalText("B", "a"), 0) << "upper case sorts first";
  EXPECT_LT(CompareOrdinalText("ab", "abc"), 0);
  EXPECT_GT(CompareOrdinalText("abc", "ab"), 0);
  EXPECT_EQ(CompareOrdinalText("RCDATA", "RCDATA"), 0);
  EXPECT_GT(CompareOrdinalText("\xE9", "z"), 0) << "bytes compare unsigned";
}

TEST(vexTools, HeadersOfSamples) {
  const std::string typical = LoadFileToString(SamplePath("samples/typical.exe"));
  const TImageHeaders h = ReadImageHeaders(View(typical));
  ASSERT_EQ(h.Sections.size(), 9u);
  EXPECT_EQ(h.ResourceSection(), 8);
  EXPECT_EQ(h.Sections[8].Name, ".rsrc");
  EXPECT_EQ(h.FileAlignment, 0x200u);
  EXPECT_EQ(h.SectionAlignment, 0x1000u);
  EXPECT_EQ(h.Directories[ddResource].VirtualAddress, 0x13000u);
  EXPECT_EQ(GetImageNtHeaders(View(typical)), int64_t(h.NtOffset));
  EXPECT_EQ(GetImageNtHeaders(View(std::string("MZ"))), -1);
}

TEST(vexTools, ChecksumMatchesTheStoredStandardChecksum) {
  for (const char* name : {"typical.exe", "rsrc_not_last.exe", "icons4.exe"}) {
    std::string bytes = LoadFileToString(SamplePath(std::string("samples/") + name));
    const TImageHeaders h = ReadImageHeaders(View(bytes));
    const uint32_t stored = Get32(bytes, h.CheckSumOffset());
    Put32(bytes, h.CheckSumOffset(), 0);
    TImageChecksum whole;
    whole.Add(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(whole.Finish(bytes.size()), stored) << name;
    // Odd-sized pieces carry a byte over to the next piece.
    TImageChecksum pieces;
    for (size_t at = 0; at < bytes.size(); at += 777)
      pieces.Add(reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                 std::min<size_t>(777, bytes.size() - at));
    EXPECT_EQ(pieces.Finish(bytes.size()), stored) << name;
  }
}

TEST(vexTools, ChecksumOfAnOddLength) {
  // Words 0x0201 and 0x0003 (the odd last byte has a high byte of 0), plus the length 3.
  const uint8_t bytes[] = {1, 2, 3};
  TImageChecksum sum;
  sum.Add(bytes, 3);
  EXPECT_EQ(sum.Finish(3), 0x0204u + 3);
  // Carries fold back: 0xFFFF + 0x0002 = 0x10001 -> 0x0002.
  const uint8_t carry[] = {0xFF, 0xFF, 0x02, 0x00};
  TImageChecksum folded;
  folded.Add(carry, 4);
  EXPECT_EQ(folded.Finish(4), 0x0002u + 4);
}

class ChecksumFileTest : public TResourceTest {};

TEST_F(ChecksumFileTest, UpdateImageChecksumRewritesTheField) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  std::string bytes = LoadFileToString(path);
  const TImageHeaders h = ReadImageHeaders(View(bytes));
  const uint32_t stored = Get32(bytes, h.CheckSumOffset());
  Put32(bytes, h.CheckSumOffset(), 0xDEADBEEF);
  SaveStringToFile(bytes, path);
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  UpdateImageChecksum(fd, bytes.size(), h.CheckSumOffset());
  ::close(fd);
  EXPECT_EQ(Get32(LoadFileToString(path), h.CheckSumOffset()), stored);
}
