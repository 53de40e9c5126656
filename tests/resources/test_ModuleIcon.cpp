#include "../common/RecordRoundTrip.h"
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

TEST(IconFormat, EachRecordIsWrittenAndReadAsTheFormatLaysItOut) {
  ExpectRecord(TIconHeader{7, IconImageType, 1},
               std::string_view("\x07\0\x01\0\x01\0", IconHeaderSize), "icon image count");
  const TIconEntry entry{0, 48, 3, 4, 0x0506, 0x0708, 0x090A0B0C, 0x0D0E0F10};
  ExpectRecord(TIconFileEntry{entry},
               std::string_view("\0\x30\x03\x04\x06\x05\x08\x07\x0C\x0B\x0A\x09\x10\x0F\x0E\x0D",
                                IconFileEntrySize),
               "icon image offset");
  TIconEntry described = entry;
  described.Place = 0;
  ExpectRecord(TIconGroupEntry{described, 0x0F10},
               std::string_view("\0\x30\x03\x04\x06\x05\x08\x07\x0C\x0B\x0A\x09\x10\x0F",
                                IconGroupEntrySize),
               "icon group entry name");
  // The entries of either layout, as their units read them.
  std::string file, group;
  WriteIconFileEntry(file, entry);
  WriteIconGroupEntry(group, entry);
  EXPECT_EQ(ReadIconFileEntry(ByteViewOf(std::string(IconHeaderSize, '\0') + file), 0), entry);
  const TIconEntry read =
      ReadIconGroupEntry(ByteViewOf(std::string(IconHeaderSize, '\0') + group), 0);
  EXPECT_EQ(read.PixelWidth(), 256);
  EXPECT_EQ(read.Place, 0x0F10u) << "a group names the image with 16 bits";
}
