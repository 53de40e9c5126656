#include "ResTestSupport.h"

#include "resources/u_IconFormat.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_Resources.h"

// The images of an .ico file image with their 16-byte entries.
static std::vector<std::pair<std::string, std::string>> IconImages(const std::string& ico) {
  const TIconGroupData group = IconFileToGroup(ico, 1);
  std::vector<std::pair<std::string, std::string>> images;
  for (size_t i = 0; i < group.Images.size(); ++i)
    images.emplace_back(ico.substr(6 + 16 * i, 16), group.Images[i]);
  return images;
}

static std::string IconResource(const TPEModule& module, int id) {
  return std::string(*module.FindResource(TResIdent(3), TResIdent(uint16_t(id))));
}

class ModuleIconTest : public TResourceTest {};

TEST_F(ModuleIconTest, StandardSizeImageOfAGroupOfFour) {
  const TPEModule module(SamplePath("samples/icons4.exe"));
  const std::string ico = LoadModuleIcon(module, "MAINICON");
  const auto images = IconImages(ico);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(uint8_t(images[0].first[0]), 32);
  EXPECT_EQ(uint8_t(images[0].first[1]), 32);
  EXPECT_EQ(Get16(images[0].first, 6), 8) << "bits per pixel";
  EXPECT_EQ(Get32(images[0].first, 8), 2216u);
  EXPECT_EQ(Get32(images[0].first, 12), 22u) << "image right after the one entry";
  EXPECT_EQ(images[0].second, IconResource(module, 2));
  EXPECT_EQ(ico.size(), 22u + 2216u);
}

TEST_F(ModuleIconTest, NearestSizeWhenTheStandardOneIsMissing) {
  const TPEModule module(SamplePath("samples/icons4.exe"));
  EXPECT_EQ(uint8_t(LoadModuleIcon(module, "MAINICON", 20)[6]), 16);
  EXPECT_EQ(uint8_t(LoadModuleIcon(module, "MAINICON", 200)[6]), 0) << "256 is stored as 0";
  // 40 is as near to 32 as to 48: the deeper colour (48x48, 24 bits) wins.
  EXPECT_EQ(uint8_t(LoadModuleIcon(module, "MAINICON", 40)[6]), 48);
}

TEST_F(ModuleIconTest, WholeGroupRoundTripsThroughTheIconFileChecks) {
  const TPEModule module(SamplePath("samples/icons4.exe"));
  const std::string ico = LoadModuleIconGroup(module, "MAINICON");
  const auto images = IconImages(ico);
  ASSERT_EQ(images.size(), 4u);
  const int widths[] = {16, 32, 48, 0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(uint8_t(images[size_t(i)].first[0]), widths[i]);
    EXPECT_EQ(images[size_t(i)].second, IconResource(module, i + 1));
  }
}

TEST_F(ModuleIconTest, MissingOrDamagedGroupGivesNoIcon) {
  const TPEModule module(SamplePath("samples/typical.exe"));
  EXPECT_EQ(LoadModuleIcon(module, "OTHERICON"), "");
  EXPECT_EQ(LoadModuleIconGroup(module, "OTHERICON"), "");
  EXPECT_EQ(LoadModuleIcon(module, "MAINICON").size(), 22u + 2216u);

  const std::string path = CopySample("samples/typical.exe");
  // A group record that lists more entries than it holds, and one naming a missing icon.
  UpdateExeResource(path, ResTypeGroupIcon, "SHORT",
                    std::string("\0\0\1\0\2\0", 6) + std::string(14, '\0'));
  std::string missing("\0\0\1\0\1\0", 6);
  missing += std::string("\x20\x20\0\0\1\0\x08\0\xA8\x08\0\0\x09\0", 14); // icon 9 absent
  UpdateExeResource(path, ResTypeGroupIcon, "MISSING", missing);
  // Icon 1 listed 200 times would be 200 copies of it; more than 256 entries is no icon.
  const std::string entry("\x20\x20\0\0\1\0\x08\0\xA8\x08\0\0\x01\0", 14);
  std::string repeated("\0\0\1\0\xC8\0", 6), tooMany("\0\0\1\0\x01\x01", 6);
  for (int i = 0; i < 200; ++i)
    repeated += entry;
  for (int i = 0; i < 257; ++i)
    tooMany += entry;
  UpdateExeResource(path, ResTypeGroupIcon, "REPEATED", repeated);
  UpdateExeResource(path, ResTypeGroupIcon, "TOOMANY", tooMany);
  const TPEModule changed(path);
  EXPECT_EQ(LoadModuleIcon(changed, "SHORT"), "");
  EXPECT_EQ(LoadModuleIcon(changed, "MISSING"), "");
  EXPECT_EQ(LoadModuleIconGroup(changed, "MISSING"), "");
  EXPECT_EQ(IconImages(LoadModuleIconGroup(changed, "REPEATED")).size(), 1u);
  EXPECT_EQ(LoadModuleIconGroup(changed, "TOOMANY"), "");
}

TEST(IconFormat, EntriesReadBackAsWrittenInBothLayouts) {
  TIconEntry entry;
  entry.Width = 0; // stands for 256
  entry.Height = 48;
  entry.ColorCount = 3;
  entry.Reserved = 4;
  entry.Planes = 0x0506;
  entry.BitCount = 0x0708;
  entry.ImageSize = 0x090A0B0C;
  entry.Place = 0x0D0E0F10;
  std::string file, group;
  WriteIconHeader(file, {7, IconImageType, 1});
  WriteIconFileEntry(file, entry);
  WriteIconHeader(group, {7, IconImageType, 1});
  WriteIconGroupEntry(group, entry);
  ASSERT_EQ(file.size(), IconHeaderSize + IconFileEntrySize);
  ASSERT_EQ(group.size(), IconHeaderSize + IconGroupEntrySize);
  const TIconHeader header = ReadIconHeader(ByteViewOf(group));
  EXPECT_EQ(header.Reserved, 7);
  EXPECT_EQ(header.Type, IconImageType);
  EXPECT_EQ(header.Count, 1);
  for (const auto& [read, place] : {std::pair{ReadIconFileEntry(ByteViewOf(file), 0), 0x0D0E0F10u},
                                    std::pair{ReadIconGroupEntry(ByteViewOf(group), 0), 0x0F10u}}) {
    EXPECT_EQ(read.PixelWidth(), 256);
    EXPECT_EQ(read.PixelHeight(), 48);
    EXPECT_EQ(read.ColorCount, 3);
    EXPECT_EQ(read.Reserved, 4);
    EXPECT_EQ(read.Planes, 0x0506);
    EXPECT_EQ(read.BitCount, 0x0708);
    EXPECT_EQ(read.ImageSize, 0x090A0B0Cu);
    EXPECT_EQ(read.Place, place) << "a group names the image with 16 bits";
  }
  // A cut entry names the field that ran past the end.
  try {
    ReadIconGroupEntry(ByteViewOf(group.substr(0, group.size() - 1)), 0);
    ADD_FAILURE() << "a cut entry was read";
  } catch (const EDamagedData& e) {
    EXPECT_NE(std::string(e.what()).find("icon group entry name"), std::string::npos) << e.what();
  }
}
