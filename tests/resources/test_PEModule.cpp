#include "ResTestSupport.h"

#include "common/u_FileSnapshot.h"
#include "common/u_Files.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "resources/vexRes.h"

#include <cerrno>

class PEModuleTest : public TResourceTest {};

TEST_F(PEModuleTest, ReadsTheContentResourceByItsTextType) {
  const TPEModule module(SamplePath("samples/typical.exe"));
  const std::string mfs = ReadModuleResource(module, "RCDATA", "SYSTEM_MFS");
  ASSERT_EQ(mfs.size(), 1514u);
  EXPECT_EQ(mfs.substr(0, 4), "MSCF");
  EXPECT_EQ(ReadModuleResource(module, "RCDATA", "system_mfs"), "") << "names match exactly";
  EXPECT_EQ(ReadModuleResource(module, "RCDATA", "OTHER"), "");
  EXPECT_EQ(ReadModuleResource(module, "OTHER", "SYSTEM_MFS"), "");
}

TEST_F(PEModuleTest, MissingResourceIsEmptyWithoutError) {
  const TPEModule module(SamplePath("samples/no_system_mfs.exe"));
  EXPECT_EQ(ReadModuleResource(module, "RCDATA", "SYSTEM_MFS"), "");
}

TEST_F(PEModuleTest, ContentUnderNumericTypeTenIsNotFound) {
  const std::string path = CopySample("samples/no_system_mfs.exe");
  UpdateExeResource(path, 10, "SYSTEM_MFS", "cabinet bytes");
  const TPEModule module(path);
  EXPECT_EQ(ReadModuleResource(module, "RCDATA", "SYSTEM_MFS"), "");
  EXPECT_EQ(std::string(*module.FindResource(TResIdent(10), TResIdent(u"SYSTEM_MFS"))),
            "cabinet bytes");
}

TEST_F(PEModuleTest, PrefersTheNeutralLanguage) {
  const std::string path = CopySample("samples/typical.exe");
  // Language 1033 sorts after 0; a second name holds only 1033.
  UpdateExeResource(path, "RCDATA", "ONLY_US", "neutral");
  auto* update = BeginResourceUpdate(path, false);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(
      UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 1033, "us", 2));
  ASSERT_TRUE(
      UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"ONLY_US"), 0, nullptr, 0));
  ASSERT_TRUE(
      UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"ONLY_US"), 1033, "us", 2));
  ASSERT_TRUE(EndResourceUpdate(update, false));
  const TPEModule module(path);
  EXPECT_EQ(ReadModuleResource(module, "RCDATA", "SYSTEM_MFS").size(), 1514u);
  EXPECT_EQ(ReadModuleResource(module, "RCDATA", "ONLY_US"), "us");
}

TEST_F(PEModuleTest, FilesThatAreNoPE32ImagesFailWithTheCause) {
  const auto failure = [](const std::string& path) -> std::pair<int, std::string> {
    try {
      TPEModule module(path);
    } catch (const EOSError& e) {
      return {e.ErrorCode(), e.Message()};
    } catch (const EStreamError& e) {
      return {0, e.Message()}; // the file could not be read: the stream error says why
    }
    return {0, "loaded"};
  };
  EXPECT_EQ(failure(PathOf("missing.exe")).second,
            "Cannot open file \"" + PathOf("missing.exe") + "\". No such file or directory");

  SaveStringToFile("just text, not an image", PathOf("text.exe"));
  const auto text = failure(PathOf("text.exe"));
  EXPECT_EQ(text.first, ENOEXEC);
  EXPECT_NE(text.second.find("does not begin with \"MZ\""), std::string::npos) << text.second;

  std::string image = LoadFileToString(SamplePath("samples/typical.exe"));
  const uint32_t nt = Get32(image, 0x3C);
  Put16(image, nt + 24, 0x20B);
  SaveStringToFile(image, PathOf("pe32plus.exe"));
  const auto plus = failure(PathOf("pe32plus.exe"));
  EXPECT_EQ(plus.first, ENOEXEC);
  EXPECT_NE(plus.second.find("PE32+ (64-bit)"), std::string::npos) << plus.second;

  SaveStringToFile("", PathOf("empty.exe"));
  EXPECT_EQ(failure(PathOf("empty.exe")).first, ENOEXEC);
  EXPECT_EQ(failure(Folder()).second, "Cannot open file \"" + Folder() + "\". It is a folder.");
}

TEST_F(PEModuleTest, ImageWithoutResourcesLoadsAndHasNone) {
  std::string image = LoadFileToString(SamplePath("samples/typical.exe"));
  const uint32_t nt = Get32(image, 0x3C);
  Put32(image, nt + 24 + 96 + 8 * 2, 0); // resource directory entry cleared
  Put32(image, nt + 24 + 96 + 8 * 2 + 4, 0);
  SaveStringToFile(image, PathOf("bare.exe"));
  const TPEModule module(PathOf("bare.exe"));
  EXPECT_EQ(ReadModuleResource(module, "RCDATA", "SYSTEM_MFS"), "");
}

TEST_F(PEModuleTest, AStandAloneResourceIsFoundWithoutReadingItAndLeftOutOfTheSnapshot) {
  const std::string path = CopySample("samples/typical.exe");
  std::string cabinet(1 << 20, 'c');
  UpdateExeResource(path, "RCDATA", "SYSTEM_MFS", cabinet);
  const std::string file = LoadFileToString(path);
  const TResourcePlace place = ModuleResourcePlace(TPEModule(path), "RCDATA", "SYSTEM_MFS");

  const TOpenedFile opened = TOpenedFile::Open(path);
  TSnapshotReader reader(opened.Handle(), path, MaxImageFileSize);
  const std::optional<TFileRange> found =
      FindStandAloneModuleResource(reader, path, "RCDATA", "SYSTEM_MFS");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Offset, place.Offset);
  EXPECT_EQ(found->Size, place.Size);
  EXPECT_FALSE(reader.HasRead({place.Offset + place.Size - 1, 1})) << "the probe read it all";
  const TFileSnapshot snapshot = reader.Finish(*found);
  std::string expected = file;
  expected.replace(place.Offset, place.Size, place.Size, '\0');
  EXPECT_TRUE(snapshot.Bytes == expected) << "everything else is read, the resource is zeros";

  TSnapshotReader missing(opened.Handle(), path, MaxImageFileSize);
  EXPECT_FALSE(FindStandAloneModuleResource(missing, path, "RCDATA", "OTHER"));
  EXPECT_TRUE(missing.Finish().Bytes == file);
}
