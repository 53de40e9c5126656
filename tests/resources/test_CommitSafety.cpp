#include "NoNamelessFiles.h"
#include "ResTestSupport.h"

#include "common/u_Files.h"
#include "resources/u_Resources.h"
#include "resources/vexRes.h"

#include <cerrno>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

const TCommitStep AllSteps[] = {csNewFileCreated, csSectionWritten,   csHeadCopied,
                                csTailCopied,     csHeadersCorrected, csChecksumWritten,
                                csNewFileSynced,  csNewFileNamed};

struct TStepHookGuard {
  ~TStepHookGuard() { SetCommitStepHook(nullptr); }
};

TImageHeaders Headers(const std::string& bytes) {
  return ReadImageHeaders(ByteViewOf(bytes));
}

uint64_t RvaToOffset(const TImageHeaders& h, uint32_t rva) {
  const int i = h.SectionOfRva(rva);
  if (i < 0)
    throw std::runtime_error("rva in no section");
  return h.Sections[size_t(i)].PointerToRawData + (rva - h.Sections[size_t(i)].VirtualAddress);
}

// The file offset of the first full-address relocation in .data or .rdata.
uint64_t FirstRelocatedPointer(const std::string& bytes) {
  const TImageHeaders h = Headers(bytes);
  const uint64_t table = RvaToOffset(h, h.Directories[ddBaseReloc].VirtualAddress);
  for (uint64_t block = table; block < table + h.Directories[ddBaseReloc].Size;) {
    const uint32_t page = Get32(bytes, block), size = Get32(bytes, block + 4);
    for (uint64_t e = block + 8; e < block + size; e += 2) {
      const uint16_t entry = Get16(bytes, e);
      const uint32_t rva = page + (entry & 0xFFF);
      const int section = h.SectionOfRva(rva);
      if (entry >> 12 == 3 && section >= 0 && h.Sections[size_t(section)].Name != ".text")
        return RvaToOffset(h, rva);
    }
    block += size;
  }
  throw std::runtime_error("no relocation");
}

} // namespace

class CommitSafetyTest : public TResourceTest {
protected:
  // The error code of a growing content update, 0 when it succeeded.
  int GrowFails(const std::string& path, size_t size = 9000) {
    try {
      UpdateRCDataResource(path, "SYSTEM_MFS", std::string(size, 'g'));
    } catch (const EOSError& e) {
      FMessage = e.Message();
      return e.ErrorCode();
    }
    return 0;
  }
  std::string FMessage;
};

TEST_F(CommitSafetyTest, AFailureAtEachStepLeavesTheFileAsItWas) {
  const TStepHookGuard guard;
  // The last one, with a debug directory behind the section and an overlay of odd length, is
  // big enough for its checksum to be summed beside the writing.
  const struct {
    const char* sample;
    size_t overlay;
  } cases[] = {{"samples/typical.exe", 0},
               {"samples/rsrc_not_last.exe", 0},
               {"samples/rsrc_not_last.exe", LargeImageSize + 1}};
  for (const auto& c : cases) {
    const std::string path = CopySample(c.sample);
    SaveStringToFile(LoadFileToString(path) + std::string(c.overlay, 'o'), path);
    const std::string before = LoadFileToString(path);
    for (TCommitStep step : AllSteps) {
      SetCommitStepHook([step](TCommitStep reached) {
        if (reached == step)
          throw EVexError(EIO, "injected failure");
      });
      EXPECT_EQ(GrowFails(path, 70000), EIO) << "step " << step;
      EXPECT_EQ(LoadFileToString(path), before) << "step " << step;
      EXPECT_TRUE(RewriterLeftovers().empty()) << "step " << step;
    }
    SetCommitStepHook(nullptr);
    EXPECT_EQ(GrowFails(path, 70000), 0);
    EXPECT_EQ(
        VerifyPE(path, {"--has", "RCDATA", "SYSTEM_MFS", "0", DataFile(std::string(70000, 'g'))}),
        "");
  }
}

TEST_F(CommitSafetyTest, AKillAtEachStepLeavesTheOldFileAndTheNextUpdateClearsWhatItLeft) {
  const TStepHookGuard guard;
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  const std::string copy = PathOf("copy.exe");
  // With nameless files the new file has a name only from csNewFileNamed; without them (a
  // FUSE mount, say) from the start.
  for (const bool nameless : {true, false})
    for (const std::string& target : {std::string(), copy})
      for (TCommitStep step : AllSteps) {
        const std::string before = LoadFileToString(path);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          if (!nameless && !DenyNamelessFiles())
            ::_exit(78);
          SetCommitStepHook([step](TCommitStep reached) {
            if (reached == step)
              ::_exit(77);
          });
          std::vector<TResourceChange> changes;
          changes.push_back({"RCDATA", "SYSTEM_MFS", std::string(70000, 'g')});
          UpdateExeResources(path, std::move(changes), target);
          ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 78)
          GTEST_SKIP() << "nameless files cannot be turned off here";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 77) << "step " << step;
        EXPECT_EQ(LoadFileToString(path), before) << "step " << step;
        EXPECT_FALSE(fs::exists(copy)) << "step " << step;
        EXPECT_EQ(RewriterLeftovers().size(), nameless && step != csNewFileNamed ? 0u : 1u)
            << "step " << step << (nameless ? "" : ", without nameless files");
        EXPECT_EQ(GrowFails(path, 9000 + size_t(step)), 0) << FMessage;
        EXPECT_TRUE(RewriterLeftovers().empty()) << "step " << step;
      }
}

TEST_F(CommitSafetyTest, AFullDiskLeavesTheOldFile) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  const std::string before = LoadFileToString(path);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Files may not grow past the old size: the new file runs out of room part-way.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{before.size() + 4096, before.size() + 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(GrowFails(path, 70000));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), EFBIG);
  EXPECT_EQ(LoadFileToString(path), before);
  EXPECT_TRUE(RewriterLeftovers().empty());
}

TEST_F(CommitSafetyTest, PermissionsAndLinksAreKept) {
  const std::string path = CopySample("samples/typical.exe");
  ASSERT_EQ(::chmod(path.c_str(), 0751), 0);
  fs::create_symlink(path, PathOf("link.exe"));
  EXPECT_EQ(GrowFails(PathOf("link.exe")), 0);
  struct stat info;
  ASSERT_EQ(::lstat(PathOf("link.exe").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link stays a link";
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0751u);
  EXPECT_EQ(ReadModuleResource(TPEModule(path), "RCDATA", "SYSTEM_MFS"), std::string(9000, 'g'));
}

TEST_F(CommitSafetyTest, AChangeOfModeOwnerOrAttributesSinceTheReadIsKept) {
  const TStepHookGuard guard;
  struct TCase {
    const char* what;
    bool needsRoot;
    std::function<int(const char*)> change;
    std::function<bool(const char*, const struct stat&)> kept;
  } cases[] = {
      {"chmod 600", false, [](const char* p) { return ::chmod(p, 0600); },
       [](const char*, const struct stat& s) { return (s.st_mode & 07777) == 0600; }},
      {"chown", true, [](const char* p) { return ::chown(p, 12345, 54321); },
       [](const char*, const struct stat& s) { return s.st_uid == 12345 && s.st_gid == 54321; }},
      {"setfattr user.tag", false,
       [](const char* p) { return ::setxattr(p, "user.tag", "v", 1, 0); },
       [](const char* p, const struct stat&) {
         return ::getxattr(p, "user.tag", nullptr, 0) == 1;
       }},
  };
  // Changed after the read, before the new file takes the book's status; and after, while the
  // new file waits to be renamed.
  for (const TCase& c : cases)
    for (TCommitStep step : {csNewFileCreated, csNewFileNamed}) {
      if (c.needsRoot && ::geteuid() != 0)
        continue;
      const std::string path = CopySample("samples/typical.exe");
      ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
      int changed = -1;
      SetCommitStepHook([&](TCommitStep reached) {
        if (reached == step)
          changed = c.change(path.c_str());
      });
      EXPECT_EQ(GrowFails(path), 0) << c.what << ": " << FMessage;
      ASSERT_EQ(changed, 0) << c.what;
      struct stat info {};
      ASSERT_EQ(::stat(path.c_str(), &info), 0);
      EXPECT_TRUE(c.kept(path.c_str(), info)) << c.what << " at step " << step;
      EXPECT_EQ(ReadModuleResource(TPEModule(path), "RCDATA", "SYSTEM_MFS"),
                std::string(9000, 'g'));
    }
}

// The head and tail come from the book's file in the kernel while it is what was read: a
// write to it meanwhile (another program ignoring the lock) leaves the copy made of what was
// read, as one from memory is; the copy of rsrc_not_last.exe has a tail too.
TEST_F(CommitSafetyTest, ABookWrittenDuringTheCopyGivesTheCopyWhatWasRead) {
  for (TCommitStep step : {csHeadCopied, csTailCopied}) {
    const std::string path = CopySample("samples/rsrc_not_last.exe");
    const std::string read = LoadFileToString(path);
    const std::string target = path + ".copy.exe";
    TStepHookGuard guard;
    SetCommitStepHook([&](TCommitStep reached) {
      if (reached == step) {
        const std::string scribble(read.size() - 0x200, 'x');
        SaveStringToFile(read.substr(0, 0x200) + scribble, path);
      }
    });
    TResUpdateContext* context = BeginResourceUpdateInto(path, target, false);
    ASSERT_NE(context, nullptr);
    const std::string content(9000, 'g');
    ASSERT_TRUE(UpdateResourceEntry(context, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 0,
                                    content.data(), uint32_t(content.size())));
    ASSERT_TRUE(EndResourceUpdate(context, false));
    SetCommitStepHook(nullptr);
    const std::string expected = CopySample("samples/rsrc_not_last.exe", "expected.exe");
    ASSERT_EQ(GrowFails(expected), 0) << FMessage;
    EXPECT_EQ(LoadFileToString(target), LoadFileToString(expected)) << step;
  }
}

TEST_F(CommitSafetyTest, ANameNearTheLengthLimitIsReplacedLikeAnyOther) {
  const std::string path = CopySample("samples/typical.exe", std::string(250, 'n') + ".exe");
  EXPECT_EQ(GrowFails(path), 0) << FMessage;
  EXPECT_EQ(VerifyPE(path), "");
  EXPECT_TRUE(RewriterLeftovers().empty());
}

TEST_F(CommitSafetyTest, PointersIntoAMovingSectionRefuseTheUpdate) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  std::string image = LoadFileToString(path);
  const TImageHeaders h = Headers(image);
  // A relocated pointer in .data now points into .tail, which moves when .rsrc grows a page.
  const uint32_t tail = h.Sections[10].VirtualAddress;
  Put32(image, FirstRelocatedPointer(image), h.ImageBase + tail + 0x10);
  SaveStringToFile(image, path);
  EXPECT_EQ(GrowFails(path), ENOTSUP);
  EXPECT_NE(FMessage.find("points into a section that would move (section \".tail\")"),
            std::string::npos)
      << FMessage;
  EXPECT_EQ(LoadFileToString(path), image);
  EXPECT_TRUE(RewriterLeftovers().empty());
  // Within the same page nothing moves in memory: the update is safe and goes through.
  EXPECT_EQ(GrowFails(path, 1530), 0) << FMessage;
  EXPECT_EQ(VerifyPE(path), "");
}

TEST_F(CommitSafetyTest, DirectoriesAndEntryPointInMovingSectionsRefuse) {
  const std::string original = LoadFileToString(SamplePath("samples/rsrc_not_last.exe"));
  const TImageHeaders h = Headers(original);
  const uint32_t opt = h.NtOffset + 24;
  const uint32_t tail = h.Sections[10].VirtualAddress;
  const uint32_t rsrc = h.Sections[8].VirtualAddress;
  struct TCase {
    const char* what;
    uint32_t offset;
    uint32_t value;
    const char* cause;
  } cases[] = {
      {"import directory in .tail", opt + 96 + 8 * ddImport, tail, "data directory 1"},
      {"entry point in .tail", opt + 16, tail + 4, "entry point lies in a section that would move"},
      {"TLS directory in .rsrc", opt + 96 + 8 * ddTls, rsrc + 0x10, "inside the resource section"},
  };
  for (const TCase& c : cases) {
    std::string image = original;
    Put32(image, c.offset, c.value);
    const std::string path = PathOf("case.exe");
    SaveStringToFile(image, path);
    EXPECT_EQ(GrowFails(path), ENOTSUP) << c.what;
    EXPECT_NE(FMessage.find(c.cause), std::string::npos) << c.what << ": " << FMessage;
    EXPECT_EQ(LoadFileToString(path), image) << c.what;
  }
}

TEST_F(CommitSafetyTest, DamagedRelocationsRefuseOnlyUpdatesThatMoveSections) {
  const std::string path = CopySample("samples/rsrc_not_last.exe");
  std::string image = LoadFileToString(path);
  const TImageHeaders h = Headers(image);
  Put32(image, RvaToOffset(h, h.Directories[ddBaseReloc].VirtualAddress) + 4, 3); // block size
  SaveStringToFile(image, path);
  EXPECT_EQ(GrowFails(path), ENOEXEC);
  EXPECT_NE(FMessage.find("has a size of 3"), std::string::npos) << FMessage;
  EXPECT_EQ(LoadFileToString(path), image);
  EXPECT_EQ(GrowFails(path, 1530), 0) << FMessage; // nothing moves: the table is not needed
  EXPECT_EQ(VerifyPE(path), "");
}
