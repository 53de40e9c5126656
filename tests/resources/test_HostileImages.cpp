#include "ResTestSupport.h"

#include "common/u_Files.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "resources/vexRes.h"

#include <cerrno>
#include <random>

namespace {

TImageHeaders Headers(const std::string& bytes) {
  return ReadImageHeaders(ByteViewOf(bytes));
}

} // namespace

class HostileImageTest : public TResourceTest {
protected:
  void SetUp() override {
    TResourceTest::SetUp();
    FImage = LoadFileToString(SamplePath("samples/typical.exe"));
    const TImageHeaders h = Headers(FImage);
    FOpt = h.NtOffset + 24;
    FRsrc = h.Sections[8].PointerToRawData;
    FSectionTable = h.SectionTableOffset;
  }
  // Begin on a damaged image must fail with the cause, leave it unchanged, and so must the
  // read-only module.
  void ExpectRefused(const std::string& image, const std::string& cause) {
    const std::string path = PathOf("damaged.exe");
    SaveStringToFile(image, path);
    EXPECT_EQ(BeginResourceUpdate(path, false), nullptr) << cause;
    EXPECT_EQ(VexLastErrorCode(), ENOEXEC) << cause;
    EXPECT_NE(VexLastErrorCause().find(cause), std::string::npos) << VexLastErrorCause();
    try {
      TPEModule module(path);
      ADD_FAILURE() << "module loaded: " << cause;
    } catch (const EOSError& e) {
      EXPECT_NE(e.Message().find(cause), std::string::npos) << e.Message();
    }
    EXPECT_EQ(LoadFileToString(path), image);
    EXPECT_TRUE(RewriterLeftovers().empty());
  }
  std::string FImage;
  uint32_t FOpt = 0, FRsrc = 0, FSectionTable = 0;
};

TEST_F(HostileImageTest, HeaderDamage) {
  std::string image = FImage;
  Put32(image, 0x3C, 0x7FFFFFF0);
  ExpectRefused(image, "no \"PE\" signature");
  image = FImage;
  Put16(image, FOpt - 24 + 4 + 2, 0xFFFF); // NumberOfSections
  ExpectRefused(image, "section table");
  image = FImage;
  Put32(image, FOpt + 36, 0); // FileAlignment
  ExpectRefused(image, "FileAlignment");
  image = FImage;
  Put32(image, FSectionTable + 8 * 40 + 16, 0x7FFFF000); // .rsrc SizeOfRawData
  ExpectRefused(image, "runs past the end");
}

TEST_F(HostileImageTest, ResourceDirectoryDamage) {
  std::string image = FImage;
  Put32(image, FRsrc + 16 + 4, 0x80000000); // first type points back at the root
  ExpectRefused(image, "reached twice (a loop)");
  image = FImage;
  Put16(image, FRsrc + 14, 0xFFFF); // absurd id count
  ExpectRefused(image, "resource directory entries");
  image = FImage;
  Put32(image, FRsrc + 16, 0x80000FFF); // first type's name length across the end
  ExpectRefused(image, "resource name");
  // Every data entry moved out of the section.
  image = FImage;
  const uint32_t rva = Headers(FImage).Sections[8].VirtualAddress;
  for (size_t at = FRsrc; at + 4 <= FRsrc + 0x400; at += 4)
    if (Get32(image, at) >= rva && Get32(image, at) < rva + 0x1000 && Get32(image, at + 4) > 0 &&
        Get32(image, at + 4) < 0x1000)
      Put32(image, at, 0x7FFF0000);
  ExpectRefused(image, "lies outside the resource section");
}

TEST_F(HostileImageTest, DeepTreesStopAtTheLimit) {
  std::string image = FImage;
  // A chain of 40 directories, each with one subdirectory entry pointing at the next.
  for (uint32_t level = 0; level < 40; ++level) {
    const size_t table = FRsrc + level * 24;
    Put32(image, table + 12, 0);
    Put16(image, table + 14, 1);
    Put32(image, table + 16, 1);
    Put32(image, table + 20, 0x80000000 | ((level + 1) * 24));
  }
  ExpectRefused(image, "more than 32 levels");
}

// Directory tables 8 bytes apart, each listing 16384 named entries that share one name and one
// data entry: 2000 of them in a 160 KiB section would be 32 million nodes.
TEST_F(HostileImageTest, OverlappingDirectoryTablesAreRefused) {
  constexpr uint32_t tables = 2000, entries = 0x4000, nameAt = 0x3F00, leafAt = entries;
  constexpr uint32_t region = 0x4100, size = region + 8 * tables + 16 + 8 * entries;
  std::string section(size, '\0');
  Put16(section, 14, tables); // the root: tables id entries
  for (uint32_t k = 0; k < tables; ++k) {
    Put32(section, 16 + 8 * k, k + 1);
    Put32(section, 16 + 8 * k + 4, 0x80000000 | (region + 8 * k));
  }
  Put16(section, nameAt, 1);
  Put16(section, nameAt + 2, 'N');
  const uint32_t rva = Headers(FImage).Sections[8].VirtualAddress;
  Put32(section, leafAt, rva + nameAt); // 4 bytes of data
  Put32(section, leafAt + 4, 4);
  // Read at any 8-byte step: a table of `entries` named entries, and each entry names nameAt
  // and points at the data entry at leafAt.
  for (uint32_t at = region; at + 8 <= size; at += 8) {
    Put32(section, at, 0x80000000 | nameAt);
    Put32(section, at + 4, entries);
  }
  std::string image = FImage.substr(0, FRsrc) + section;
  Put32(image, FSectionTable + 8 * 40 + 8, size);  // VirtualSize
  Put32(image, FSectionTable + 8 * 40 + 16, size); // SizeOfRawData
  ExpectRefused(image, "so they overlap");
}

TEST_F(HostileImageTest, DebugDirectoryRunningPastTheEndIsBounded) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  std::string image = LoadFileToString(path);
  const uint32_t opt = Headers(image).NtOffset + 24;
  Put32(image, opt + 96 + 8 * ddDebug + 4, 0x7FFFFFFF); // counted as entries: far past the end
  SaveStringToFile(image, path);
  UpdateRCDataResource(path, "SYSTEM_MFS", std::string(9000, 'd'));
  EXPECT_EQ(ReadModuleResource(TPEModule(path), "RCDATA", "SYSTEM_MFS"), std::string(9000, 'd'));
}

TEST_F(HostileImageTest, DebugEntriesInACutOffSignatureAreNotPatched) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  std::string image = LoadFileToString(path);
  const TImageHeaders h = Headers(image);
  const uint32_t opt = h.NtOffset + 24;
  const uint32_t tail = h.Sections[10].PointerToRawData, directory = tail + 0x40;
  // Two debug entries; a signature begins at the second, which points behind the resource
  // section, and ends the file.
  Put32(image, opt + 96 + 8 * ddDebug + 4, 2 * 28);
  Put32(image, directory + 28 + 24, tail);
  Put32(image, opt + 96 + 8 * ddSecurity, directory + 28);
  Put32(image, opt + 96 + 8 * ddSecurity + 4, uint32_t(image.size()) - (directory + 28));
  SaveStringToFile(image, path);
  UpdateRCDataResource(path, "SYSTEM_MFS", std::string(9000, 'd'));
  const std::string after = LoadFileToString(path);
  const uint32_t f = Headers(after).Sections[10].PointerToRawData - tail;
  EXPECT_EQ(Get32(after, directory + f + 24), Get32(image, directory + 24) + f);
  EXPECT_EQ(after.size(), directory + 28 + f) << "the file ends where the signature began";
}

TEST_F(HostileImageTest, EveryTruncationFailsCleanly) {
  const std::string path = PathOf("cut.exe");
  for (size_t cut = 0; cut < FImage.size(); cut += cut < 0x400 ? 4 : 256) {
    const std::string image = FImage.substr(0, cut);
    SaveStringToFile(image, path);
    TResUpdateContext* update = BeginResourceUpdate(path, false);
    EXPECT_EQ(update, nullptr) << "cut at " << cut; // the last section reaches the end
    if (update)
      EndResourceUpdate(update, true);
    EXPECT_EQ(LoadFileToString(path), image);
  }
}

TEST_F(HostileImageTest, BitFlipsNeverEscapeTheFile) {
  const std::string path = PathOf("flipped.exe");
  std::mt19937 random(20251207);
  const uint32_t areas[][2] = {{0, 0x400}, {FRsrc, 0x300}};
  int committed = 0;
  for (int round = 0; round < 300; ++round) {
    std::string image = FImage;
    const auto& area = areas[round % 2];
    for (int flip = 0; flip < 3; ++flip)
      image[area[0] + random() % area[1]] ^= char(1 << (random() % 8));
    SaveStringToFile(image, path);
    TResUpdateContext* update = BeginResourceUpdate(path, false);
    if (!update) {
      EXPECT_EQ(LoadFileToString(path), image);
      continue;
    }
    const std::string data(5000, 'f');
    UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 0, data.data(),
                        uint32_t(data.size()));
    if (EndResourceUpdate(update, false)) {
      ++committed;
      EXPECT_EQ(ReadModuleResource(TPEModule(path), "RCDATA", "SYSTEM_MFS"), data);
    } else {
      EXPECT_EQ(LoadFileToString(path), image);
    }
  }
  EXPECT_GT(committed, 0) << "some flips are harmless";
  EXPECT_TRUE(RewriterLeftovers().empty());
}
