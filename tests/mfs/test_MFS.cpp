#include "mfs/u_MFS.h"

#include "common/u_Files.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The message of the E the call raises, or a marker when it raises nothing.
template <typename E, typename F> std::string MessageOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.Message();
  }
  return "<nothing raised>";
}
#define EXPECT_MFS_ERROR(statement, message)                                                       \
  EXPECT_EQ(MessageOf<EMFSError>([&] { statement; }), message)

std::vector<std::string> ChildNames(const TMFSFolder* folder) {
  std::vector<std::string> names;
  for (TObject* child : folder->Children().GetObjects())
    names.push_back(static_cast<TMFSItem*>(child)->Name());
  return names;
}

std::string ReadAll(TMFSFileStream& stream) {
  std::string bytes(size_t(stream.Size()), '\0');
  stream.SetPosition(0);
  stream.ReadBuffer(bytes.data(), int64_t(bytes.size()));
  return bytes;
}

} // namespace

TEST(MFSModel, NewFileSystemAndDefaultSession) {
  TMFS fs(TCodePage(1252));
  EXPECT_EQ(fs.Root()->Name(), "");
  EXPECT_EQ(fs.Root()->Attributes(), faDirectory);
  EXPECT_EQ(fs.Root()->Parent(), nullptr);
  EXPECT_EQ(fs.Root()->Children().Count(), 0);
  TMFSSession* session = &fs.Session();
  EXPECT_EQ(&fs.Session(), session);
  EXPECT_EQ(session->Folder(), fs.Root());
  session->WriteFile("\\a", "x");
  fs.Clear();
  EXPECT_EQ(fs.Root()->Children().Count(), 0);
  EXPECT_FALSE(fs.Session().Exists("\\a"));
}

TEST(MFSModel, NamesCompareWithoutCaseAndKeepTheirSpelling) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  TMFSFile* file = s.CreateFile("\\Readme.txt", 0, false);
  EXPECT_EQ(s.GetFile("\\README.TXT"), file);
  EXPECT_EQ(file->Name(), "Readme.txt");
  EXPECT_EQ(file->Attributes(), faArchive);

  // A new item under a name a sibling has in another case frees that sibling.
  auto stream = s.CreateFileStream("\\Readme.txt", OPEN_EXISTING, 0);
  auto* folder = new TMFSFolder("README.txt", &fs, fs.Root());
  EXPECT_EQ(ChildNames(fs.Root()), std::vector<std::string>{"README.txt"});
  EXPECT_EQ(s.GetItem("\\readme.TXT"), folder);
  EXPECT_EQ(stream->File(), nullptr) << "the replaced file's stream is detached";
  EXPECT_MFS_ERROR(stream->Size(), "File \"Readme.txt\" of this stream no longer exists");

  // Names that differ in more than letter case are two names, whatever they look like.
  for (const char* name : {"readme.txt\xAD", "readme.t\x01xt", "README.TXT\x81"})
    s.CreateFile(std::string("\\") + name, 0, false);
  EXPECT_EQ(fs.Root()->Children().Count(), 4);
}

TEST(MFSModel, FreeingAFolderFreesItsSubtreeAndLeavesItsParent) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  s.ForceFolders("\\a\\b\\c");
  s.WriteFile("\\a\\b\\c\\f", "1");
  s.WriteFile("\\a\\g", "2");
  auto stream = s.CreateFileStream("\\a\\b\\c\\f", OPEN_EXISTING, 0);
  delete s.GetItem("\\a");
  EXPECT_EQ(fs.Root()->Children().Count(), 0);
  EXPECT_FALSE(s.Exists("\\a"));
  EXPECT_EQ(stream->File(), nullptr);
}

TEST(MFSModel, FindChildDotsAndDeepTreesFreeWithoutRecursion) {
  TMFS fs(TCodePage(1252));
  EXPECT_EQ(fs.Root()->FindChild("."), fs.Root());
  EXPECT_EQ(fs.Root()->FindChild(".."), nullptr);
  TMFSFolder* folder = fs.Root();
  for (int i = 0; i < 100000; ++i)
    folder = new TMFSFolder("d", &fs, folder);
  EXPECT_EQ(folder->FindChild(".."), folder->Parent());
  fs.Clear(); // would overflow the stack if freeing recursed per level
  EXPECT_EQ(fs.Root()->Children().Count(), 0);
}

TEST(MFSPaths, DelimiterHelpers) {
  EXPECT_EQ(TMFS::FixSeparators("/a/b\\c/"), "\\a\\b\\c\\");
  EXPECT_EQ(TMFS::IncludeTrailingDelimiter(""), "");
  EXPECT_EQ(TMFS::IncludeTrailingDelimiter("a"), "a\\");
  EXPECT_EQ(TMFS::IncludeTrailingDelimiter("a\\"), "a\\");
  EXPECT_EQ(TMFS::ExcludeTrailingDelimiter("a\\\\"), "a\\");
  EXPECT_EQ(TMFS::ExcludeTrailingDelimiter(""), "");
  EXPECT_EQ(TMFS::ExtractPath("\\a\\b.txt"), "\\a\\");
  EXPECT_EQ(TMFS::ExtractPath("b.txt"), "");
  EXPECT_EQ(TMFS::ExtractName("\\a\\b.txt"), "b.txt");
  EXPECT_EQ(TMFS::ExtractName("b.txt"), "b.txt");
  EXPECT_EQ(TMFS::ExtractName("\\a\\"), "");
}

TEST(MFSPaths, CanonicalPath) {
  EXPECT_EQ(TMFS::CanonicalPath("\\a\\.\\b\\..\\c"), "\\a\\c");
  EXPECT_EQ(TMFS::CanonicalPath("\\a\\b\\"), "\\a\\b\\");
  EXPECT_EQ(TMFS::CanonicalPath("\\"), "\\");
  EXPECT_EQ(TMFS::CanonicalPath("\\a\\\\b"), "\\a\\\\b") << "empty components are kept";
  EXPECT_EQ(TMFS::CanonicalPath("\\a\\..\\"), "\\") << "never a doubled delimiter";
  EXPECT_EQ(TMFS::CanonicalPath("\\.\\"), "\\");
  EXPECT_MFS_ERROR(TMFS::CanonicalPath("\\a\\..\\.."), "File name \"\\a\\..\\..\" is incorrect");
}

TEST(MFSSession, GetItemResolvesDotsRootsAndTrailingDelimiters) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  TMFSFile* file = s.WriteFile("\\a.txt", "");
  TMFSFolder* sub = s.ForceFolders("\\Sub\\Deeper");
  EXPECT_EQ(s.GetItem(""), fs.Root());
  EXPECT_EQ(s.GetItem("."), fs.Root());
  EXPECT_EQ(s.GetItem("\\"), fs.Root());
  EXPECT_EQ(s.GetItem("\\a.txt"), file);
  EXPECT_EQ(s.GetItem("sub\\.\\deeper\\..\\DEEPER\\"), sub);
  EXPECT_MFS_ERROR(s.GetItem(".."), "Path \"..\" not found");
  EXPECT_MFS_ERROR(s.GetItem("\\a.txt\\"), "Path \"\\a.txt\\\" not found");
  EXPECT_MFS_ERROR(s.GetItem("\\a.txt\\x"), "Path \"\\a.txt\\x\" not found");
  EXPECT_MFS_ERROR(s.GetItem("/a.txt"), "Path \"/a.txt\" not found") << "no '/' here";

  auto inner = fs.CreateSession(sub);
  EXPECT_EQ(inner->GetItem("..\\..\\a.txt"), file);
  EXPECT_EQ(inner->GetItem("\\"), fs.Root());
  EXPECT_EQ(inner->GetItem(""), sub);
}

TEST(MFSSession, GetFileNeedsAFile) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  TMFSFile* file = s.WriteFile("\\a.txt", "hi");
  s.ForceFolders("\\Folder");
  EXPECT_EQ(s.GetFile("/a.txt"), file);
  EXPECT_EQ(s.ReadFile("A.TXT"), "hi");
  EXPECT_MFS_ERROR(s.GetFile("\\Folder"), "File \"\\Folder\" not found");
  EXPECT_MFS_ERROR(s.GetFile("\\Folder\\."), "File \"\\Folder\\.\" not found");
  EXPECT_MFS_ERROR(s.GetFile("/missing/x"), "Path \"\\missing\\\" not found")
      << "the folder lookup names its own part";
}

TEST(MFSSession, CreateFile) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  TMFSFile* file = s.CreateFile("\\x", 0xFF, false);
  EXPECT_EQ(file->Attributes(), 0x3Fu);
  file->SetContent("kept");
  EXPECT_MFS_ERROR(s.CreateFile("\\x", 0, false), "File \"\\x\" already exists");
  EXPECT_EQ(s.CreateFile("/X", 0, true), file);
  EXPECT_EQ(file->Content(), "kept");
  s.ForceFolders("\\dir");
  EXPECT_MFS_ERROR(s.CreateFile("\\DIR", 0, true), "Folder \"\\DIR\" already exists");
  EXPECT_MFS_ERROR(s.CreateFile("\\dir\\..", 0, true), "Folder \"\\dir\\..\" already exists");
  EXPECT_MFS_ERROR(s.CreateFile("\\..", 0, true), "File name \"\\..\" is incorrect");
  EXPECT_EQ(ChildNames(fs.Root()), (std::vector<std::string>{"dir", "x"}));
}

TEST(MFSSession, ForceFolders) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  TMFSFolder* c = s.ForceFolders("/a/b/c/");
  EXPECT_EQ(c->Name(), "c");
  EXPECT_EQ(s.GetItem("\\a\\b\\c"), c);
  EXPECT_EQ(s.ForceFolders("\\A\\B\\C"), c);
  EXPECT_EQ(s.ForceFolders(""), fs.Root());
  EXPECT_EQ(s.ForceFolders("\\"), fs.Root());
  auto inner = fs.CreateSession(c);
  EXPECT_EQ(inner->ForceFolders("d")->Parent(), c);
  EXPECT_EQ(inner->ForceFolders("..\\e")->Parent(), s.GetItem("\\a\\b"));

  s.WriteFile("\\a\\f", "");
  EXPECT_MFS_ERROR(s.ForceFolders("\\a\\f"), "File \"\\a\\f\" already exists");
  EXPECT_MFS_ERROR(s.ForceFolders("/a/f/g/h"), "File \"\\a\\f\\\" already exists")
      << "named as the failing step received it";
  EXPECT_MFS_ERROR(s.ForceFolders("\\x\\..\\..\\y"), "File name \"\\x\\..\\..\\\" is incorrect");
  EXPECT_TRUE(s.Exists("\\x")) << "folders made before the failing step stay";
}

TEST(MFSSession, CreateFileStreamDispositionsAndFlags) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  s.WriteFile("\\f", "abc");
  EXPECT_MFS_ERROR(s.CreateFileStream("\\f", CREATE_NEW, 0), "File \"\\f\" already exists");
  EXPECT_EQ(s.CreateFileStream("\\f", OPEN_ALWAYS, 0)->Size(), 3);
  EXPECT_EQ(s.CreateFileStream("\\f", OPEN_EXISTING, 0)->Size(), 3);
  EXPECT_EQ(s.CreateFileStream("\\f", CREATE_ALWAYS, 0)->Size(), 0);
  s.WriteFile("\\f", "abc");
  EXPECT_EQ(s.CreateFileStream("\\f", TRUNCATE_EXISTING, 0)->Size(), 0);
  EXPECT_MFS_ERROR(s.CreateFileStream("\\g", TRUNCATE_EXISTING, 0), "File \"\\g\" not found");
  EXPECT_MFS_ERROR(s.CreateFileStream("\\g", OPEN_EXISTING, 0), "File \"\\g\" not found");
  for (uint32_t bad : {0u, 6u})
    EXPECT_MFS_ERROR(s.CreateFileStream("\\f", bad, 0),
                     "Incorrect parameters in method \"TMFSSession.CreateFileStream\"");

  auto created = s.CreateFileStream("\\new", CREATE_NEW, 0x80000000u | faHidden | faReadOnly);
  EXPECT_EQ(created->File()->Attributes(), faArchive | faHidden | faReadOnly);
  EXPECT_FALSE(created->File()->DeleteOnClose());
  EXPECT_EQ(s.CreateFileStream("\\new", OPEN_ALWAYS, faSystem)->File()->Attributes(),
            faArchive | faHidden | faReadOnly)
      << "attributes of an existing file stay";
}

TEST(MFSSession, DeleteOnCloseWaitsForTheLastStream) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  auto first = s.CreateFileStream("\\tmp", CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  auto second = s.CreateFileStream("\\tmp", OPEN_EXISTING, 0);
  EXPECT_TRUE(first->File()->DeleteOnClose());
  first.reset();
  EXPECT_TRUE(s.Exists("\\tmp"));
  second.reset();
  EXPECT_FALSE(s.Exists("\\tmp"));

  s.WriteFile("\\kept", "");
  s.CreateFileStream("\\kept", OPEN_EXISTING, 0).reset();
  EXPECT_TRUE(s.Exists("\\kept")) << "no flag, no deletion";
}

TEST(MFSSession, StreamsOfADeletedFileFailCleanly) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  auto stream = s.CreateFileStream("\\f", CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  stream->WriteString("abc");
  s.DeleteItem("\\f");
  EXPECT_FALSE(s.Exists("\\f"));
  char byte;
  const std::string message = "File \"f\" of this stream no longer exists";
  EXPECT_MFS_ERROR(stream->Read(&byte, 1), message);
  EXPECT_MFS_ERROR(stream->Write("x", 1), message);
  EXPECT_MFS_ERROR(stream->Seek(0, soBeginning), message);
  EXPECT_MFS_ERROR(stream->SetSize(0), message);
  stream.reset(); // must not free the file a second time

  auto onLoaded = s.CreateFileStream("\\g", CREATE_NEW, 0);
  fs.LoadFromString(TMFS(TCodePage(1252)).SaveToString());
  EXPECT_EQ(onLoaded->File(), nullptr);
}

TEST(MFSSession, DeleteItem) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  s.WriteFile("\\d\\f", "");
  EXPECT_MFS_ERROR(s.DeleteItem("\\"), "Cannot delete root folder");
  EXPECT_MFS_ERROR(s.DeleteItem("."), "Cannot delete root folder");
  EXPECT_MFS_ERROR(s.DeleteItem("\\D"), "Folder \"\\D\" is not empty");
  EXPECT_MFS_ERROR(s.DeleteItem("/d/f"), "Path \"/d/f\" not found");
  s.DeleteItem("\\d\\F");
  EXPECT_EQ(s.GetItem("\\d")->Name(), "d");
  s.DeleteItem("\\d\\");
  EXPECT_EQ(fs.Root()->Children().Count(), 0);
}

TEST(MFSSession, SessionsOnAFreedFolderMove) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  TMFSFolder* a = s.ForceFolders("\\a");
  TMFSFolder* b = s.ForceFolders("\\a\\b");
  auto own = fs.CreateSession(b);
  auto other = fs.CreateSession(b);
  own->DeleteItem(".");
  EXPECT_EQ(own->Folder(), a);
  EXPECT_EQ(other->Folder(), a) << "another session's delete moves this one to the parent";

  auto deep = fs.CreateSession(s.ForceFolders("\\a\\x\\y"));
  auto afterClear = fs.CreateSession(a);
  delete a; // a whole subtree at once: the parents go too
  EXPECT_EQ(deep->Folder(), fs.Root());
  fs.Clear();
  EXPECT_EQ(afterClear->Folder(), fs.Root());
  EXPECT_EQ(deep->ExpandPath("z"), "\\z");

  TMFSSession& defaultSession = fs.Session(); // Clear freed the first one
  auto onLoad = fs.CreateSession(defaultSession.ForceFolders("\\q"));
  fs.LoadFromString(TMFS(TCodePage(1252)).SaveToString());
  EXPECT_EQ(onLoad->Folder(), fs.Root());
  EXPECT_EQ(defaultSession.Folder(), fs.Root());
  EXPECT_EQ(&fs.Session(), &defaultSession) << "a load keeps the default session";
}

TEST(MFSSession, SessionOutlivingItsFileSystemFails) {
  std::unique_ptr<TMFSSession> session;
  {
    TMFS fs(TCodePage(1252));
    session = fs.CreateSession();
  }
  const char* gone = "The file system of this session no longer exists";
  EXPECT_MFS_ERROR(session->GetItem("\\"), gone);
  EXPECT_MFS_ERROR(session->ForceFolders("\\a\\b"), gone);
  EXPECT_MFS_ERROR(session->WriteFile("\\a\\f.txt", "x"), gone);
  EXPECT_MFS_ERROR(session->DeleteItem("\\a"), gone);
  EXPECT_FALSE(session->Exists("\\"));
}

TEST(MFSSession, ExpandPath) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  EXPECT_EQ(s.ExpandPath(""), "\\");
  EXPECT_EQ(s.ExpandPath("System.cab"), "\\System.cab");
  EXPECT_EQ(s.ExpandPath("x\\..\\y"), "\\y");
  EXPECT_EQ(s.ExpandPath("/q/./r/"), "\\q\\r\\");
  auto inner = fs.CreateSession(s.ForceFolders("\\a\\B"));
  EXPECT_EQ(inner->ExpandPath(""), "\\a\\B\\");
  EXPECT_EQ(inner->ExpandPath("..\\c"), "\\a\\c");
  EXPECT_MFS_ERROR(inner->ExpandPath("..\\..\\.."),
                   "File name \"\\a\\B\\..\\..\\..\" is incorrect");
}

TEST(MFSSession, UniqueFileName) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  EXPECT_EQ(s.UniqueFileName("\\", "fci", 0), "\\fci00000000");
  s.WriteFile("\\FCI00000000", "");
  s.WriteFile("\\fci00000001", "");
  EXPECT_EQ(s.UniqueFileName("\\", "fci", 0), "\\fci00000002");
  EXPECT_EQ(s.UniqueFileName("", "p", 0xABCDEF), "p00ABCDEF") << "no check with a number";
  EXPECT_EQ(s.UniqueFileName("\\d", "p", 1), "\\d\\p00000001");
}

TEST(MFSStream, SeekFromTheEndCountsBack) {
  TMFS fs(TCodePage(1252));
  auto stream = fs.Session().CreateFileStream("\\f", CREATE_NEW, 0);
  EXPECT_EQ(stream->Write("abc", 3), 3);
  EXPECT_EQ(stream->File()->Content(), "abc");
  EXPECT_EQ(stream->Seek(0, soEnd), 3);
  EXPECT_EQ(stream->Seek(1, soEnd), 2);
  EXPECT_EQ(stream->Seek(-1, soEnd), 3);
  EXPECT_EQ(stream->Seek(10, soBeginning), 3);
  EXPECT_EQ(stream->Seek(-5, soCurrent), 0);
  EXPECT_EQ(stream->Seek(int64_t(1) << 32, soBeginning), 3) << "not cut to a small offset";
  EXPECT_EQ(stream->Seek(-(int64_t(1) << 40), soEnd), 3);
  EXPECT_EQ(stream->Seek(2, soBeginning), 2);
  EXPECT_EQ(stream->Seek(0, TSeekOrigin(7)), 2) << "an unknown origin leaves the position";
  EXPECT_EQ(stream->Size(), 3);
  EXPECT_EQ(stream->Position(), 2) << "Size does not move the position";
}

TEST(MFSStream, ReadWriteAndSetSize) {
  TMFS fs(TCodePage(1252));
  auto stream = fs.Session().CreateFileStream("\\f", CREATE_NEW, 0);
  stream->WriteString("abc");
  stream->SetSize(1);
  EXPECT_EQ(stream->File()->Content(), "a");
  EXPECT_EQ(stream->Position(), 1);
  stream->SetSize(4);
  EXPECT_EQ(stream->File()->Content(), std::string("a\0\0\0", 4));
  EXPECT_EQ(stream->Position(), 1);
  stream->Seek(2, soBeginning);
  stream->WriteString("xyz");
  EXPECT_EQ(stream->File()->Content(), std::string("a\0xyz", 5));
  char buffer[8];
  stream->Seek(1, soBeginning);
  EXPECT_EQ(stream->Read(buffer, 8), 4);
  EXPECT_EQ(std::string(buffer, 4), std::string("\0xyz", 4));
  EXPECT_EQ(stream->Read(buffer, 8), 0);
  EXPECT_THROW(stream->SetSize(-1), EWriteError);

  // Another stream cuts the content below this one's position.
  auto other = fs.Session().CreateFileStream("\\f", OPEN_EXISTING, 0);
  other->SetSize(2);
  EXPECT_EQ(stream->Read(buffer, 8), 0);
  stream->WriteString("!");
  EXPECT_EQ(stream->File()->Content(), std::string("a\0\0\0\0!", 6));
}

TEST(MFSStream, LargeTransfersAreExact) {
  TMFS fs(TCodePage(1252));
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = char(i * 131 + (i >> 13));
  auto stream = fs.Session().CreateFileStream("\\big", CREATE_NEW, 0);
  for (size_t offset = 0; offset < data.size(); offset += 65537)
    stream->WriteBuffer(data.data() + offset,
                        int64_t(std::min<size_t>(65537, data.size() - offset)));
  EXPECT_EQ(stream->Size(), int64_t(data.size()));
  EXPECT_TRUE(ReadAll(*stream) == data);
}

class MFSDiskTest : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = std::filesystem::temp_directory_path() /
              ("folioset-mfs-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(FFolder);
  }
  void TearDown() override { std::filesystem::remove_all(FFolder); }
  std::string Target() const { return (FFolder / "out").string(); }
  std::filesystem::path FFolder;
};

TEST_F(MFSDiskTest, SaveToDiskWritesTheTree) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  s.WriteFile("\\a\\b\\c.txt", "c");
  s.WriteFile("\\top.bin", std::string("\0\xff", 2));
  s.ForceFolders("\\empty");
  fs.Root()->SaveToDisk(Target() + "/");
  EXPECT_EQ(LoadFileToString(Target() + "/a/b/c.txt"), "c");
  EXPECT_EQ(LoadFileToString(Target() + "/top.bin"), std::string("\0\xff", 2));
  EXPECT_TRUE(std::filesystem::is_directory(Target() + "/empty"));
}

TEST(MFSLoadBudget, EachItemAndEachFilesContentIsChargedAgainstTheBudget) {
  TMFS source(TCodePage(1252));
  for (int i = 0; i < 100; ++i)
    source.Session().WriteFile("\\f" + std::to_string(i), "12345678");
  const std::string serialized = source.SaveToString();
  const uint64_t cost = 100 * (TMFS::ItemLoadCost + 8);
  for (const auto& [budget, fits] : {std::pair{cost, true}, std::pair{cost - 1, false}}) {
    TMFS fs(TCodePage(1252));
    fs.SetLoadBudget(budget);
    if (fits) {
      fs.LoadFromString(serialized);
      EXPECT_EQ(fs.Root()->Children().Count(), 100);
    } else {
      EXPECT_MFS_ERROR(fs.LoadFromString(serialized),
                       "The file system takes more than 0 MB of memory");
    }
  }
}

// Conflicts are found before anything is written: the tree holds "a\\b\\c.txt", "top.bin" and
// a last item the case names; nothing of the tree may reach the disk when it is refused.
TEST_F(MFSDiskTest, SaveToDiskChecksEveryPlaceBeforeWritingAny) {
  namespace fs = std::filesystem;
  const std::string longName(300, 'n');
  const struct {
    const char* what;
    std::string lastItem; // "\\zz\\..." comes last in the walk
    std::function<void(const fs::path&)> onDisk;
    bool replace;
    std::string error; // empty: written
  } cases[] = {
      {"an existing folder is used as it is", "\\zz\\last.txt",
       [](const fs::path& out) { fs::create_directories(out / "zz"); }, false, ""},
      {"an existing file", "\\zz\\last.txt",
       [](const fs::path& out) {
         fs::create_directories(out / "zz");
         SaveStringToFile("mine", (out / "zz" / "last.txt").string());
       },
       false, "last.txt\". File exists"},
      {"a folder where a file goes", "\\zz\\last.txt",
       [](const fs::path& out) { fs::create_directories(out / "zz" / "last.txt"); }, true,
       "last.txt\". Is a directory"},
      {"a name too long", "\\zz\\" + longName, [](const fs::path&) {}, false, "File name too long"},
  };
  for (const auto& c : cases) {
    const fs::path out = Target();
    fs::remove_all(out);
    fs::create_directories(out);
    c.onDisk(out);
    TMFS mfs(TCodePage(1252));
    mfs.Session().WriteFile("\\a\\b\\c.txt", "c");
    mfs.Session().WriteFile("\\top.bin", "t");
    mfs.Session().WriteFile(c.lastItem, "last");
    std::string error;
    try {
      mfs.Root()->SaveToDisk(Target(), c.replace);
    } catch (const Exception& e) {
      error = e.Message();
    }
    if (c.error.empty()) {
      EXPECT_EQ(error, "") << c.what;
      EXPECT_EQ(LoadFileToString((out / "zz" / "last.txt").string()), "last") << c.what;
      continue;
    }
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    EXPECT_FALSE(fs::exists(out / "a")) << c.what;
    EXPECT_FALSE(fs::exists(out / "top.bin")) << c.what;
  }
}

TEST_F(MFSDiskTest, SaveToDiskGivesStoredDatesAndReadOnlyAsTarDoes) {
  namespace fs = std::filesystem;
  // 2001-02-03 04:05:06 in local time, as a DOS date and time.
  const uint32_t stored = ((2001 - 1980) << 9 | 2 << 5 | 3) << 16 | (4 << 11 | 5 << 5 | 3);
  std::tm local{};
  local.tm_year = 101, local.tm_mon = 1, local.tm_mday = 3;
  local.tm_hour = 4, local.tm_min = 5, local.tm_sec = 6, local.tm_isdst = -1;
  const std::time_t expected = std::mktime(&local);
  TMFS mfs(TCodePage(1252));
  TMFSSession& s = mfs.Session();
  s.WriteFile("\\a\\b.txt", "b");
  s.WriteFile("\\ro.txt", "r");
  s.WriteFile("\\bad.txt", "month 0");
  s.GetItem("\\a")->SetDateTime(stored);
  s.GetItem("\\a\\b.txt")->SetDateTime(stored);
  s.GetItem("\\ro.txt")->SetDateTime(stored);
  s.GetItem("\\ro.txt")->SetAttributes(faReadOnly);
  s.GetItem("\\bad.txt")->SetDateTime(stored & ~(15u << 21)); // no month: a date of none
  const auto modified = [this](const char* name) {
    struct stat info {};
    EXPECT_EQ(::stat((Target() + "/" + name).c_str(), &info), 0) << name;
    return info.st_mtime;
  };
  for (const bool keepDates : {true, false}) {
    fs::remove_all(Target());
    mfs.Root()->SaveToDisk(Target(), false, keepDates);
    for (const char* name : {"a", "a/b.txt", "ro.txt"})
      EXPECT_EQ(modified(name) == expected, keepDates) << name << ", keepDates " << keepDates;
    EXPECT_GT(modified("bad.txt"), expected) << "the time it was written";
    EXPECT_EQ(fs::status(Target() + "/ro.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_NE(fs::status(Target() + "/a/b.txt").permissions() & fs::perms::owner_write,
              fs::perms::none);
  }
}

// Each case fails the write in a child process, whose limits and user it may change.
TEST_F(MFSDiskTest, AFailedWriteNamesItsStepAndCauseAndLeavesNoHalfFile) {
  std::filesystem::create_directories(FFolder);
  const std::string out = Target();
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::string error;
  } cases[] = {
      {"a full disk",
       [] {
         ::signal(SIGXFSZ, SIG_IGN);
         const rlimit limit{1000, 1000};
         ::setrlimit(RLIMIT_FSIZE, &limit);
       },
       "Cannot write file \"" + out + "/big.bin\". File too large"},
      {"a folder that may not be made",
       [this] {
         // Not even root may write there once it is another user.
         if (::geteuid() == 0)
           (void)!(::setgid(65534) || ::setuid(65534));
         else
           ::chmod(FFolder.c_str(), 0555);
       },
       "Cannot create folder \"" + out + "\". Permission denied"},
  };
  TMFS mfs(TCodePage(1252));
  mfs.Session().WriteFile("\\small.txt", "s");
  mfs.Session().WriteFile("\\big.bin", std::string(5000, 'b'));
  for (const auto& c : cases) {
    std::filesystem::remove_all(out);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      c.arrange();
      std::string error = "written";
      try {
        mfs.Root()->SaveToDisk(out);
      } catch (const Exception& e) {
        error = e.Message();
      }
      (void)!::write(pipe[1], error.data(), error.size());
      ::_exit(0);
    }
    ::close(pipe[1]);
    std::string error(1000, '\0');
    const ssize_t got = ::read(pipe[0], error.data(), error.size());
    error.resize(size_t(std::max<ssize_t>(got, 0)));
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    ::chmod(FFolder.c_str(), 0755);
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_FALSE(std::filesystem::exists(out + "/big.bin")) << c.what;
  }
}

TEST_F(MFSDiskTest, SaveToDiskRefusesNamesThatEscape) {
  for (const std::string& name :
       std::vector<std::string>{"..", ".", "", "a/b", "a\\b", std::string("a\0b", 3)}) {
    TMFS fs(TCodePage(1252));
    fs.Session().WriteFile("\\first", "1");
    auto* folder = new TMFSFolder("sub", &fs, fs.Root());
    new TMFSFile(name, &fs, folder);
    EXPECT_MFS_ERROR(fs.Root()->SaveToDisk(Target()), Format(SIncorrectFileName, name.c_str()));
    EXPECT_FALSE(std::filesystem::exists(Target())) << "nothing written for " << name;
  }
}
