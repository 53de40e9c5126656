#include "ResTestSupport.h"

#include "common/u_Files.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_Resources.h"
#include "resources/vexRes.h"

#include <cerrno>

namespace {

std::string IconResource(const std::string& path, int id) {
  const TPEModule module(path);
  const auto data = module.FindResource(TResIdent(3), TResIdent(uint16_t(id)));
  return data ? std::string(*data) : std::string("<missing>");
}

// An .ico file image of images with the given sizes (width = height = 16 each).
std::string MakeIcon(const std::vector<std::string>& images) {
  std::string ico("\0\0\1\0", 4);
  ico += char(images.size() & 0xFF);
  ico += char(images.size() >> 8);
  uint32_t offset = uint32_t(6 + 16 * images.size());
  for (const std::string& image : images) {
    std::string entry("\x10\x10\0\0\1\0\x20\0", 8);
    entry.resize(16);
    Put32(entry, 8, uint32_t(image.size()));
    Put32(entry, 12, offset);
    offset += uint32_t(image.size());
    ico += entry;
  }
  for (const std::string& image : images)
    ico += image;
  return ico;
}

std::string IconError(const std::string& path, const std::string& ico) {
  try {
    UpdateIconGroupResource(path, "MAINICON", 1, ico);
  } catch (const EResourcesError& e) {
    return e.Message();
  }
  return "accepted";
}

} // namespace

class ResourcesTest : public TResourceTest {};

TEST_F(ResourcesTest, ContentResourceReplacedAndReadBack) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string cabinet = "MSCF" + std::string(40000, 'c');
  const TResourceUpdateResult result = UpdateRCDataResource(path, "SYSTEM_MFS", cabinet);
  EXPECT_FALSE(result.SignatureRemoved);
  EXPECT_EQ(ReadModuleResource(TPEModule(path), "RCDATA", "SYSTEM_MFS"), cabinet);
  EXPECT_EQ(VerifyPE(path, {"--has", "RCDATA", "SYSTEM_MFS", "0", DataFile(cabinet)}), "");
  EXPECT_TRUE(RewriterLeftovers().empty());
}

TEST_F(ResourcesTest, OtherLanguagesStayBeside) {
  const std::string path = CopySample("samples/typical.exe");
  TResUpdateContext* update = BeginResourceUpdate(path, false);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 1033,
                                  "english", 7));
  ASSERT_TRUE(EndResourceUpdate(update, false));
  UpdateRCDataResource(path, "SYSTEM_MFS", "neutral");
  EXPECT_EQ(VerifyPE(path, {"--has", "RCDATA", "SYSTEM_MFS", "0", DataFile("neutral"), "--has",
                            "RCDATA", "SYSTEM_MFS", "1033", DataFile("english")}),
            "");
}

TEST_F(ResourcesTest, FailuresRaiseTheOSError) {
  try {
    UpdateRCDataResource(PathOf("missing.exe"), "SYSTEM_MFS", "x");
    FAIL() << "no error";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOENT);
    EXPECT_EQ(e.Message(), "System Error.  Code: 2.\r\nNo such file or directory");
  }
  SaveStringToFile("MZ but nothing else", PathOf("stub.exe"));
  try {
    UpdateRCDataResource(PathOf("stub.exe"), "SYSTEM_MFS", "x");
    FAIL() << "no error";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOEXEC);
    EXPECT_NE(e.Message().find("PE"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(LoadFileToString(PathOf("stub.exe")), "MZ but nothing else");
  const std::string path = CopySample("samples/typical.exe");
  EXPECT_THROW(UpdateExeResource(path, "", "NAME", "x"), EOSError) << "an empty text type";
  EXPECT_THROW(UpdateExeResource(path, 70000, "NAME", "x"), EResourcesError);
  EXPECT_EQ(LoadFileToString(path), LoadFileToString(SamplePath("samples/typical.exe")));
}

TEST_F(ResourcesTest, IconGroupReplacedAndOldIconsBeyondTheCountKept) {
  const std::string path = CopySample("samples/icons4.exe");
  const std::string icon4 = IconResource(path, 4);
  const std::string ico = LoadFileToString(SamplePath("samples/icons/brand_3.ico"));
  int rewrites = 0;
  SetCommitStepHook([&](TCommitStep step) { rewrites += step == csNewFileSynced; });
  UpdateIconGroupResource(path, "MAINICON", 1, ico);
  SetCommitStepHook(nullptr);
  EXPECT_EQ(rewrites, 1) << "the group and its three images in one rewrite";
  const TIconGroupData expected = IconFileToGroup(ico, 1);
  ASSERT_EQ(expected.Images.size(), 3u);
  EXPECT_EQ(expected.GroupRecord.size(), 6u + 14u * 3);
  EXPECT_EQ(Get16(expected.GroupRecord, 6 + 14 * 2 + 12), 3) << "names firstId + i";
  std::vector<std::string> args = {"--has", "14", "MAINICON", "0", DataFile(expected.GroupRecord)};
  for (int i = 0; i < 3; ++i)
    for (const std::string& a : {std::string("--has"), std::string("3"), std::to_string(i + 1),
                                 std::string("0"), DataFile(expected.Images[size_t(i)])})
      args.push_back(a);
  args.insert(args.end(), {"--has", "3", "4", "0", DataFile(icon4)});
  EXPECT_EQ(VerifyPE(path, args), "");
  // Read back as the workflow does.
  const TPEModule module(path);
  EXPECT_EQ(IconFileToGroup(LoadModuleIconGroup(module, "MAINICON"), 1).Images, expected.Images);
}

TEST_F(ResourcesTest, OneImageIconOverFourLeavesIconsTwoToFour) {
  const std::string path = CopySample("samples/icons4.exe");
  const std::string icon3 = IconResource(path, 3);
  UpdateIconGroupResource(path, "MAINICON", 1,
                          LoadFileToString(SamplePath("samples/icons/brand_1.ico")));
  const TPEModule module(path);
  EXPECT_EQ(IconFileToGroup(LoadModuleIconGroup(module, "MAINICON"), 1).Images.size(), 1u);
  EXPECT_EQ(IconResource(path, 3), icon3);
  EXPECT_NE(IconResource(path, 4), "<missing>");
}

TEST_F(ResourcesTest, CorruptIconsAreRefusedBeforeAnythingIsWritten) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string before = LoadFileToString(path);
  for (const char* name :
       {"corrupt_5_bytes.ico", "corrupt_cursor_type.ico", "corrupt_last_image_short.ico"})
    EXPECT_EQ(IconError(path, LoadFileToString(SamplePath(std::string("samples/icons/") + name))),
              "Icon is corrupted")
        << name;
  std::string threeIn40("\0\0\1\0\3\0", 6);
  threeIn40.resize(40);
  EXPECT_EQ(IconError(path, threeIn40), "Icon is corrupted");
  std::string shortByOne = MakeIcon({std::string(100, 'a')});
  shortByOne.pop_back();
  EXPECT_EQ(IconError(path, shortByOne), "Icon is corrupted");
  EXPECT_EQ(LoadFileToString(path), before);
  EXPECT_EQ(IconError(path, MakeIcon({std::string(100, 'a')})), "accepted")
      << "an image ending exactly at the end of the file";
}

// Each hostile icon would make its reader ask for far more memory than the file holds.
TEST_F(ResourcesTest, IconsCostingMoreThanTheirFileAreRefused) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string before = LoadFileToString(path);
  // 65535 entries that all name one image: 1 MiB asking for 65535 copies.
  std::string oneImageManyTimes = MakeIcon(std::vector<std::string>(65535, std::string()));
  oneImageManyTimes += std::string(100, 'i');
  for (uint32_t i = 0; i < 65535; ++i) {
    Put32(oneImageManyTimes, 6 + 16 * i + 8, 100);
    Put32(oneImageManyTimes, 6 + 16 * i + 12, 6 + 16 * 65535);
  }
  std::string overDirectory = MakeIcon({std::string(100, 'a')});
  Put32(overDirectory, 6 + 12, 0);
  std::string twoOverlapping = MakeIcon({std::string(100, 'a'), std::string(100, 'b')});
  Put32(twoOverlapping, 6 + 16 + 12, Get32(twoOverlapping, 6 + 12) + 50);
  const std::string tooMany = MakeIcon(std::vector<std::string>(MaxIconImages + 1, "x"));
  for (const std::string& ico : {oneImageManyTimes, overDirectory, twoOverlapping, tooMany})
    EXPECT_EQ(IconError(path, ico), "Icon is corrupted");
  EXPECT_EQ(LoadFileToString(path), before);
  EXPECT_EQ(IconError(path, MakeIcon(std::vector<std::string>(MaxIconImages, "x"))), "accepted");
}

TEST_F(ResourcesTest, EmptyIconWritesAnEmptyGroupOnly) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string icon1 = IconResource(path, 1);
  UpdateIconGroupResource(path, "MAINICON", 1, std::string("\0\0\1\0\0\0", 6));
  EXPECT_EQ(
      VerifyPE(path, {"--has", "14", "MAINICON", "0", DataFile(std::string("\0\0\1\0\0\0", 6)),
                      "--has", "3", "1", "0", DataFile(icon1)}),
      "");
}

TEST_F(ResourcesTest, IconsBeyond64KiBUseFullOffsets) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string big(70000, 'B'), last(300, 'L');
  const std::string ico = MakeIcon({big, last});
  ASSERT_GT(Get32(ico, 6 + 16 + 12), 0x10000u);
  UpdateIconGroupResource(path, "MAINICON", 1, ico);
  EXPECT_EQ(IconResource(path, 1), big);
  EXPECT_EQ(IconResource(path, 2), last);
  EXPECT_EQ(VerifyPE(path), "");
}

TEST_F(ResourcesTest, SignatureIsDroppedAndReported) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  std::string image = LoadFileToString(path);
  const uint32_t certDir = Get32(image, 0x3C) + 24 + 96 + 8 * 4;
  Put32(image, certDir, uint32_t(image.size()));
  Put32(image, certDir + 4, 24);
  const std::string unsignedImage = image;
  image += std::string("\x18\0\0\0\0\x02\x02\0", 8) + std::string(16, 's');
  SaveStringToFile(image, path);
  EXPECT_TRUE(UpdateRCDataResource(path, "SYSTEM_MFS", std::string(9000, 'n')).SignatureRemoved);
  const std::string after = LoadFileToString(path);
  EXPECT_EQ(Get32(after, certDir), 0u);
  EXPECT_EQ(after.find(std::string(16, 's')), std::string::npos) << "signature bytes removed";
  EXPECT_EQ(VerifyPE(path, {"--unsigned", "--overlay", DataFile("")}), "");
  EXPECT_FALSE(UpdateRCDataResource(path, "SYSTEM_MFS", "m").SignatureRemoved);
}
