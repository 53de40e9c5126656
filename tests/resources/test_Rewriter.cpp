#include "ResTestSupport.h"

#include "common/u_Files.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "resources/vexRes.h"
#include "resources/vexResTree.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>

namespace {

std::string Pattern(size_t size, int seed = 1) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = char((i * 31 + size_t(seed) * 7 + i / 251) & 0xFF);
  return bytes;
}

TImageHeaders Headers(const std::string& bytes) {
  return ReadImageHeaders(ByteViewOf(bytes));
}

const TSectionHeader& SectionNamed(const TImageHeaders& h, const std::string& name) {
  for (const auto& s : h.Sections)
    if (s.Name == name)
      return s;
  throw std::runtime_error("no section " + name);
}

// Names and ids of a directory's children, in order.
std::vector<std::string> ChildKeys(const TResItem& dir) {
  std::vector<std::string> keys;
  for (const auto& child : dir.Children)
    keys.push_back(child->Name.empty() ? std::to_string(child->Id)
                                       : std::string(child->Name.begin(), child->Name.end()));
  return keys;
}

} // namespace

class RewriterTest : public TResourceTest {
protected:
  TResUpdateContext* Begin(const std::string& path, bool removeExisting = false) {
    TResUpdateContext* update = BeginResourceUpdate(path, removeExisting);
    EXPECT_NE(update, nullptr) << VexLastErrorCause();
    return update;
  }
  // One committed change of (type, name, language 0).
  void Change(const std::string& path, const TResIdent& type, const TResIdent& name,
              const std::string* data) {
    TResUpdateContext* update = Begin(path);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(UpdateResourceEntry(update, type, name, 0, data ? data->data() : nullptr,
                                    data ? uint32_t(data->size()) : 0));
    ASSERT_TRUE(EndResourceUpdate(update, false)) << VexLastErrorCause();
  }
};

TEST_F(RewriterTest, SameRoundedSizeMovesNothing) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  const std::string before = LoadFileToString(path);
  const TImageHeaders old = Headers(before);
  const TSectionHeader& rsrc = SectionNamed(old, ".rsrc");
  // 1514 -> 1530 bytes: the section grows by 16 bytes inside its 0x1000 bytes of raw data.
  const std::string data = Pattern(1530);
  Change(path, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), &data);
  const std::string after = LoadFileToString(path);
  ASSERT_EQ(after.size(), before.size()) << "F = 0";
  const uint64_t tail = uint64_t(rsrc.PointerToRawData) + rsrc.SizeOfRawData;
  EXPECT_EQ(after.substr(tail), before.substr(tail)) << "nothing behind the section moved";
  const TImageHeaders h = Headers(after);
  EXPECT_EQ(SectionNamed(h, ".reloc").VirtualAddress, SectionNamed(old, ".reloc").VirtualAddress);
  EXPECT_GT(SectionNamed(h, ".rsrc").VirtualSize, rsrc.VirtualSize);
  EXPECT_EQ(VerifyPE(path, {"--has", "RCDATA", "SYSTEM_MFS", "0", DataFile(data)}), "");
}

TEST_F(RewriterTest, NewTextTypeGrowsALastSectionByWholeAlignments) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string before = LoadFileToString(path);
  const TImageHeaders old = Headers(before);
  const std::string data = Pattern(10000);
  Change(path, TResIdent(u"NEWTYPE"), TResIdent(u"ITEM"), &data);
  const std::string after = LoadFileToString(path);
  const TImageHeaders h = Headers(after);
  const TSectionHeader& rsrc = SectionNamed(h, ".rsrc");
  const uint32_t grown = rsrc.SizeOfRawData - SectionNamed(old, ".rsrc").SizeOfRawData;
  EXPECT_EQ(after.size() - before.size(), grown);
  EXPECT_EQ(grown % old.FileAlignment, 0u);
  EXPECT_GT(grown, 10000u);
  const uint32_t v = AlignUp(rsrc.VirtualSize, 0x1000) - AlignUp(0xFD0, 0x1000);
  EXPECT_EQ(h.SizeOfImage, old.SizeOfImage + v);
  EXPECT_EQ(h.SizeOfInitializedData, old.SizeOfInitializedData + grown);
  EXPECT_EQ(VerifyPE(path, {"--has", "NEWTYPE", "ITEM", "0", DataFile(data), "--has", "3", "1", "0",
                            DataFile(std::string(*TPEModule(SamplePath("samples/typical.exe"))
                                                      .FindResource(TResIdent(3), TResIdent(1))))}),
            "");
}

TEST_F(RewriterTest, SectionsBehindMoveByVAndFWithOverlayKept) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  const std::string overlay = "overlay bytes after the last section" + Pattern(1001);
  SaveStringToFile(LoadFileToString(path) + overlay, path);
  const std::string before = LoadFileToString(path);
  const TImageHeaders old = Headers(before);
  const std::string data = Pattern(70000); // through a spool file
  Change(path, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), &data);
  const std::string after = LoadFileToString(path);
  const TImageHeaders h = Headers(after);
  const int64_t f = int64_t(SectionNamed(h, ".rsrc").SizeOfRawData) -
                    int64_t(SectionNamed(old, ".rsrc").SizeOfRawData);
  const int64_t v = int64_t(AlignUp(SectionNamed(h, ".rsrc").VirtualSize, 0x1000)) - 0x1000;
  ASSERT_GT(v, 0);
  for (const char* name : {".reloc", ".tail"}) {
    const TSectionHeader& was = SectionNamed(old, name);
    const TSectionHeader& now = SectionNamed(h, name);
    EXPECT_EQ(int64_t(now.VirtualAddress), int64_t(was.VirtualAddress) + v) << name;
    EXPECT_EQ(int64_t(now.PointerToRawData), int64_t(was.PointerToRawData) + f) << name;
    // .tail holds the debug directory at offset 0x40, whose entry is corrected.
    EXPECT_EQ(after.substr(now.PointerToRawData, 0x40), before.substr(was.PointerToRawData, 0x40))
        << name;
  }
  const uint64_t debug = SectionNamed(h, ".tail").PointerToRawData + 0x40;
  const uint64_t oldDebug = SectionNamed(old, ".tail").PointerToRawData + 0x40;
  EXPECT_EQ(Get32(after, debug + 20), Get32(before, oldDebug + 20) + v) << "AddressOfRawData";
  EXPECT_EQ(Get32(after, debug + 24), Get32(before, oldDebug + 24) + f) << "PointerToRawData";
  EXPECT_EQ(h.Directories[ddBaseReloc].VirtualAddress,
            old.Directories[ddBaseReloc].VirtualAddress + v);
  EXPECT_EQ(h.Directories[ddDebug].VirtualAddress, old.Directories[ddDebug].VirtualAddress + v);
  EXPECT_EQ(h.Directories[ddImport].VirtualAddress, old.Directories[ddImport].VirtualAddress);
  EXPECT_EQ(after.size(), before.size() + uint64_t(f));
  EXPECT_EQ(VerifyPE(path, {"--has", "RCDATA", "SYSTEM_MFS", "0", DataFile(data), "--overlay",
                            DataFile(overlay)}),
            "");
}

TEST_F(RewriterTest, ShrinkingMovesTheTailDown) {
  const std::string path = CopySample("samples/icons4.exe");
  const std::string overlay = Pattern(333, 5);
  SaveStringToFile(LoadFileToString(path) + overlay, path);
  const std::string before = LoadFileToString(path);
  TResUpdateContext* update = Begin(path);
  ASSERT_NE(update, nullptr);
  for (uint16_t id : {2, 3, 4})
    ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(3), TResIdent(id), 0, nullptr, 0));
  ASSERT_TRUE(EndResourceUpdate(update, false));
  const std::string after = LoadFileToString(path);
  EXPECT_LT(after.size() + 20000, before.size()) << "F negative";
  EXPECT_EQ(after.substr(after.size() - overlay.size()), overlay);
  EXPECT_EQ(VerifyPE(path, {"--absent", "3", "2", "0", "--absent", "3", "4", "0", "--overlay",
                            DataFile(overlay)}),
            "");
}

TEST_F(RewriterTest, SpoolThresholdAndNoFilesLeft) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string small = Pattern(32768), large = Pattern(32769, 2);
  TResUpdateContext* update = Begin(path);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SMALL"), 0,
                                  small.data(), uint32_t(small.size())));
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"LARGE"), 0,
                                  large.data(), uint32_t(large.size())));
  // Data handed over has no copy elsewhere for a spool file to stand in for. Big enough for the
  // image to be built in the new file, and copied there in several windows.
  const std::string handed = Pattern(LargeImageSize + 1, 3);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"HANDED"), 0,
                                  large.data(), uint32_t(large.size())));
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"HANDED"), 0,
                                  std::string(handed)));
  TResItem* type = FindResDirectory(*update->Root, TResIdent(u"RCDATA"));
  const TResItem& smallLeaf = *FindResDirectory(*type, TResIdent(u"SMALL"))->Children[0];
  const TResItem& largeLeaf = *FindResDirectory(*type, TResIdent(u"LARGE"))->Children[0];
  const TResItem& handedLeaf = *FindResDirectory(*type, TResIdent(u"HANDED"))->Children[0];
  EXPECT_EQ(smallLeaf.Source, rdMemory);
  EXPECT_EQ(smallLeaf.Data.size(), 32768u);
  EXPECT_EQ(largeLeaf.Source, rdSpool);
  EXPECT_TRUE(largeLeaf.SpoolFile.IsOpen());
  EXPECT_TRUE(largeLeaf.Data.empty()) << "above the threshold nothing stays in memory";
  EXPECT_EQ(handedLeaf.Source, rdMemory);
  EXPECT_FALSE(handedLeaf.SpoolFile.IsOpen()) << "the earlier spool file is dropped";
  EXPECT_TRUE(RewriterLeftovers().empty()) << "spool files have no name to leave behind";
  ASSERT_TRUE(EndResourceUpdate(update, false));
  EXPECT_TRUE(RewriterLeftovers().empty());
  EXPECT_EQ(
      VerifyPE(path, {"--has", "RCDATA", "SMALL", "0", DataFile(small), "--has", "RCDATA", "LARGE",
                      "0", DataFile(large), "--has", "RCDATA", "HANDED", "0", DataFile(handed)}),
      "");
}

TEST_F(RewriterTest, ReplacingASpooledLeafAgainAndDiscarding) {
  const std::string path = CopySample("samples/icons4.exe");
  const std::string before = LoadFileToString(path);
  const std::string large = Pattern(100000), other = Pattern(50);
  TResUpdateContext* update = Begin(path);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 0,
                                  large.data(), uint32_t(large.size())));
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 0,
                                  other.data(), uint32_t(other.size())));
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(14), TResIdent(u"MAINICON"), 0, nullptr, 0));
  EXPECT_TRUE(EndResourceUpdate(update, true));
  EXPECT_EQ(LoadFileToString(path), before) << "discard leaves the file byte-identical";
  EXPECT_TRUE(RewriterLeftovers().empty());
  TResUpdateContext* again = Begin(path);
  EXPECT_NE(again, nullptr) << "the file was closed and unlocked";
  EndResourceUpdate(again, true);
}

TEST_F(RewriterTest, SpoolFilesHaveNoName) {
  const std::string path = CopySample("samples/typical.exe");
  TResUpdateContext* update = Begin(path);
  ASSERT_NE(update, nullptr);
  const std::string large = Pattern(40000);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 0,
                                  large.data(), uint32_t(large.size())));
  // The spool file lives until the update ends, in the temporary folder, with no name there.
  EXPECT_TRUE(RewriterLeftovers().empty());
  EXPECT_TRUE(EndResourceUpdate(update, false));
  EXPECT_EQ(ReadModuleResource(TPEModule(path), "RCDATA", "SYSTEM_MFS"), large);
}

TEST_F(RewriterTest, OrderingOfAddedChildren) {
  const std::string path = CopySample("samples/typical.exe");
  TResUpdateContext* update = Begin(path);
  ASSERT_NE(update, nullptr);
  const std::string byte = "x";
  auto add = [&](const TResIdent& name) {
    ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"ORD"), name, 0, byte.data(), 1));
  };
  add(TResIdent(u"B"));
  add(TResIdent(2));
  add(TResIdent(5));
  add(TResIdent(u"A"));
  add(TResIdent(u"a"));
  add(TResIdent(3));
  TResItem& type = *FindResDirectory(*update->Root, TResIdent(u"ORD"));
  EXPECT_EQ(ChildKeys(type), (std::vector<std::string>{"A", "B", "a", "2", "3", "5"}));
  EXPECT_EQ(type.NamedCount, 3u);
  EXPECT_EQ(type.IdCount, 3u);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"ORD"), TResIdent(2), 1033, "y", 1));
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"ORD"), TResIdent(2), 7, "z", 1));
  EXPECT_EQ(ChildKeys(*FindResDirectory(type, TResIdent(2))),
            (std::vector<std::string>{"0", "7", "1033"}));
  ASSERT_TRUE(EndResourceUpdate(update, false));
  EXPECT_EQ(VerifyPE(path, {"--has", "ORD", "a", "0", DataFile(byte)}), "");

  // A file whose names break the order keeps it: rename "A" to "C" in the bytes.
  std::string bytes = LoadFileToString(path);
  const std::string wideA("\x01\x00\x41\x00", 4);
  const size_t at = bytes.find(wideA);
  ASSERT_NE(at, std::string::npos);
  bytes[at + 2] = 'C';
  SaveStringToFile(bytes, path);
  update = Begin(path);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"ORD"), TResIdent(u"BB"), 0, "x", 1));
  EXPECT_EQ(ChildKeys(*FindResDirectory(*update->Root, TResIdent(u"ORD"))),
            (std::vector<std::string>{"BB", "C", "B", "a", "2", "3", "5"}));
  EXPECT_TRUE(EndResourceUpdate(update, true));
}

TEST_F(RewriterTest, RemovalClimbsToTheTypeButNeverTheRoot) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string mfs =
      std::string(*TPEModule(path).FindResource(TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS")));
  TResUpdateContext* update = Begin(path);
  ASSERT_NE(update, nullptr);
  // Other languages and names that are not there change nothing.
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(14), TResIdent(u"MAINICON"), 1033, nullptr, 0));
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(14), TResIdent(u"OTHER"), 0, nullptr, 0));
  EXPECT_EQ(update->Root->Children.size(), 3u);
  // The only language of the only name: the type goes too.
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(14), TResIdent(u"MAINICON"), 0, nullptr, 0));
  EXPECT_EQ(FindResDirectory(*update->Root, TResIdent(14)), nullptr);
  // Integer name 0 with language 0 removes a whole type.
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(3), TResIdent(0), 0, nullptr, 0));
  EXPECT_EQ(FindResDirectory(*update->Root, TResIdent(3)), nullptr);
  ASSERT_TRUE(EndResourceUpdate(update, false));
  EXPECT_EQ(VerifyPE(path, {"--has", "RCDATA", "SYSTEM_MFS", "0", DataFile(mfs), "--absent", "14",
                            "MAINICON", "0", "--absent", "3", "1", "0"}),
            "");

  Change(path, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), nullptr);
  const std::string empty = LoadFileToString(path);
  const TImageHeaders h = Headers(empty);
  EXPECT_EQ(h.Directories[ddResource].Size, 16u) << "an empty root table stays";
  EXPECT_EQ(VerifyPE(path), "");
  EXPECT_EQ(ReadModuleResource(TPEModule(path), "RCDATA", "SYSTEM_MFS"), "");
}

TEST_F(RewriterTest, RemoveExistingStartsFromAnEmptyTree) {
  const std::string path = CopySample("samples/icons4.exe");
  TResUpdateContext* update = Begin(path, true);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"ONLY"), 0, "1", 1));
  ASSERT_TRUE(EndResourceUpdate(update, false));
  EXPECT_EQ(
      VerifyPE(path, {"--has", "RCDATA", "ONLY", "0", DataFile("1"), "--absent", "3", "1", "0"}),
      "");
}

TEST_F(RewriterTest, BeginFailsOnNoImageAndNoResourceSection) {
  SaveStringToFile("not an image at all", PathOf("text.exe"));
  EXPECT_EQ(BeginResourceUpdate(PathOf("text.exe"), false), nullptr);
  EXPECT_EQ(VexLastErrorCode(), ENOEXEC);
  EXPECT_EQ(LoadFileToString(PathOf("text.exe")), "not an image at all");

  std::string image = LoadFileToString(SamplePath("samples/typical.exe"));
  Put32(image, Get32(image, 0x3C) + 24 + 96 + 16, 0); // resource directory address cleared
  SaveStringToFile(image, PathOf("bare.exe"));
  EXPECT_EQ(BeginResourceUpdate(PathOf("bare.exe"), false), nullptr);
  EXPECT_EQ(VexLastErrorCode(), ENOENT) << "the code for file not found";
  EXPECT_EQ(LoadFileToString(PathOf("bare.exe")), image);
  EXPECT_EQ(BeginResourceUpdate(PathOf("missing.exe"), false), nullptr);
  EXPECT_EQ(VexLastErrorCode(), ENOENT);
}

TEST_F(RewriterTest, AnUpdateLetGoUncommittedLeavesTheFileAndItsLock) {
  const std::string path = CopySample("samples/typical.exe");
  const std::string before = LoadFileToString(path);
  {
    TResourceUpdate update = TResourceUpdate::Begin(path, {}, false);
    update.Change(TResIdent(u"RCDATA"), TResIdent(u"GONE"), 0, "1");
  }
  EXPECT_EQ(LoadFileToString(path), before);
  const int holder = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0) << "the lock went with the update";
  ::close(holder);
  TResourceUpdate update = TResourceUpdate::Begin(path, {}, false);
  update.Change(TResIdent(u"RCDATA"), TResIdent(u"KEPT"), 0, "2");
  update.Commit();
  EXPECT_THROW(update.Change(TResIdent(u"RCDATA"), TResIdent(u"LATE"), 0, "3"), EVexError);
  EXPECT_EQ(VerifyPE(path, {"--has", "RCDATA", "KEPT", "0", DataFile("2"), "--absent", "RCDATA",
                            "GONE", "0"}),
            "");
}

TEST_F(RewriterTest, ASecondUpdateWaitsForTheFirstAndWorksOnTheFileItWrote) {
  const std::string path = CopySample("samples/typical.exe");
  TResUpdateContext* first = Begin(path);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(UpdateResourceEntry(first, TResIdent(u"RCDATA"), TResIdent(u"FIRST"), 0, "1", 1));
  const pid_t second = ::fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    // A forked child shares the first update's locked file; a second process has none.
    for (int fd = 3; fd < 1024; ++fd)
      ::close(fd);
    TResUpdateContext* update = BeginResourceUpdate(path, false);
    const bool done =
        update &&
        UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SECOND"), 0, "2", 1) &&
        EndResourceUpdate(update, false);
    ::_exit(done ? 0 : 1);
  }
  ::usleep(300000); // the second update is waiting for the lock by now
  ASSERT_TRUE(EndResourceUpdate(first, false)) << VexLastErrorCause();
  int status = 0;
  ASSERT_EQ(::waitpid(second, &status, 0), second);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(VerifyPE(path, {"--has", "RCDATA", "FIRST", "0", DataFile("1"), "--has", "RCDATA",
                            "SECOND", "0", DataFile("2")}),
            "")
      << "neither update lost";
}

TEST_F(RewriterTest, TheNewFileKeepsTheExtendedAttributesAndTheAclOfTheOld) {
  const std::string path = CopySample("samples/typical.exe");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  // An ACL that lets one more user write, whose mask (rw) is what the mode shows as the group
  // bits while the owning group itself may only read: header, then (tag, permissions, id).
  std::string acl;
  const auto put = [&acl](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
      acl.push_back(char(value >> (8 * i)));
  };
  put(2, 4);
  for (const auto& [tag, permissions, id] : std::vector<std::tuple<uint16_t, uint16_t, uint32_t>>{
           {0x01, 6, ~0u}, {0x02, 6, 65534}, {0x04, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}}) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  if (::setxattr(path.c_str(), "user.folioset.origin", "shop", 4, 0) != 0 ||
      ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
    GTEST_SKIP() << "the test folder's file system holds no extended attributes or ACLs";
  struct stat before;
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  const std::string data = "1";
  Change(path, TResIdent(u"RCDATA"), TResIdent(u"ONE"), &data);
  char value[256];
  const ssize_t origin = ::getxattr(path.c_str(), "user.folioset.origin", value, sizeof value);
  EXPECT_EQ(std::string(value, size_t(std::max<ssize_t>(origin, 0))), "shop");
  const ssize_t kept = ::getxattr(path.c_str(), "system.posix_acl_access", value, sizeof value);
  EXPECT_EQ(std::string(value, size_t(std::max<ssize_t>(kept, 0))), acl) << "the ACL as it was";
  struct stat after;
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777) << "no permission widened";
}
