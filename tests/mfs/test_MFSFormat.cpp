#include "mfs/u_MFS.h"
#include "mfs/u_MFSSerialStream.h"

#include "common/u_AnsiText.h"
#include "common/u_Common.h"
#include "common/u_Files.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t NewYear2025Noon = 0x5A216000; // 2025-01-01 12:00:00

template <typename E, typename F> std::string MessageOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.Message();
  }
  return "<nothing raised>";
}

std::string LE32(uint32_t value) {
  return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}
std::string Counted(const std::string& bytes) {
  return LE32(uint32_t(bytes.size())) + bytes;
}
std::string Prefix(const std::string& name, uint32_t attributes = faArchive) {
  return Counted(name) + LE32(NewYear2025Noon) + LE32(attributes);
}
std::string FileRecord(const std::string& name, const std::string& content) {
  return "F" + Prefix(name) + Counted(content);
}
std::string FolderHead(const std::string& name, int32_t children) {
  return Prefix(name, faDirectory) + LE32(uint32_t(children));
}
std::string Sealed(const std::string& body) {
  return "MFS" + Format("%08X", TextChecksum(body)) + body;
}

// Names, stamps, attributes and contents of the whole tree, in save order.
std::string Describe(const TMFSFolder& folder) {
  std::string text =
      "[" + folder.Name() + Format(" %08X %X", folder.DateTime(), folder.Attributes());
  for (TObject* object : folder.Children().GetObjects()) {
    const auto* item = static_cast<const TMFSItem*>(object);
    if (const auto* sub = dynamic_cast<const TMFSFolder*>(item))
      text += Describe(*sub);
    else
      text += "(" + item->Name() + Format(" %08X %X ", item->DateTime(), item->Attributes()) +
              static_cast<const TMFSFile*>(item)->Content() + ")";
  }
  return text + "]";
}

void Stamp(TMFSItem* item) {
  item->SetDateTime(NewYear2025Noon);
}

} // namespace

TEST(MFSFormat, WorkedExampleIsByteExact) {
  TMFS fs(TCodePage(1252));
  Stamp(fs.Root());
  Stamp(fs.Session().WriteFile("\\a", "hi"));
  const std::string body = FolderHead("", 1) + FileRecord("a", "hi");
  ASSERT_EQ(body.size(), 36u);
  EXPECT_EQ(fs.SaveToString(), "MFSF5411258" + body);

  TMFS loaded(TCodePage(1252));
  loaded.LoadFromString("MFSF5411258" + body);
  EXPECT_EQ(Describe(*loaded.Root()), Describe(*fs.Root()));
  EXPECT_EQ(loaded.Root()->Attributes(), faDirectory);
}

TEST(MFSFormat, EmptyTreeAndNameOrder) {
  TMFS fs(TCodePage(1252));
  Stamp(fs.Root());
  EXPECT_EQ(fs.SaveToString(), Sealed(FolderHead("", 0)));
  EXPECT_EQ(fs.SaveToString().size(), 27u);

  for (const char* name : {"b", "A", "c"})
    Stamp(fs.Session().WriteFile(name, ""));
  EXPECT_EQ(fs.SaveToString(), Sealed(FolderHead("", 3) + FileRecord("A", "") +
                                      FileRecord("b", "") + FileRecord("c", "")));
}

TEST(MFSFormat, RoundTripKeepsEverything) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  s.WriteFile("\\bin", std::string("\0\xff\x00\x80", 4));
  s.WriteFile("\\empty", "");
  s.WriteFile("\\Docs\\Sub\\deep.txt", "deep")->SetAttributes(faReadOnly | faHidden);
  s.GetItem("\\Docs")->SetDateTime(0x12345678);
  s.ForceFolders("\\Docs\\Empty Folder");
  const std::string saved = fs.SaveToString();

  TMFS loaded(TCodePage(1252));
  loaded.Session().WriteFile("\\old", "gone after the load");
  loaded.LoadFromString(saved);
  EXPECT_EQ(Describe(*loaded.Root()), Describe(*fs.Root()));
  EXPECT_EQ(loaded.SaveToString(), saved);
  EXPECT_EQ(loaded.Session().ReadFile("\\docs\\sub\\DEEP.TXT"), "deep");
}

TEST(MFSFormat, SerialStreamReadInAnyCutGivesTheSavedString) {
  TMFS fs(TCodePage(1252));
  TMFSSession& s = fs.Session();
  s.WriteFile("\\big", std::string(1000, 'b')); // read in place from the tree
  s.WriteFile("\\" + std::string(300, 'n'), "long name");
  s.WriteFile("\\small", "s");
  const std::string saved = fs.SaveToString();
  for (int64_t cut : {1, 3, 7, 256, 999, 5000}) {
    TMFSSerialStream stream(*fs.Root());
    ASSERT_EQ(stream.Size(), int64_t(saved.size()));
    std::string read;
    std::string piece(size_t(cut), '\0');
    while (const int64_t got = stream.Read(piece.data(), cut))
      read.append(piece.data(), size_t(got));
    EXPECT_EQ(read, saved) << cut;
  }
  TMFSSerialStream stream(*fs.Root());
  stream.Seek(-10, soEnd);
  EXPECT_EQ(stream.ReadRest(), saved.substr(saved.size() - 10)) << "from the end back";
  stream.SetPosition(500);
  EXPECT_EQ(stream.ReadRest(), saved.substr(500));
}

TEST(MFSFormat, KindComesFromTheTagNotTheAttributes) {
  TMFS fs(TCodePage(1252));
  fs.LoadFromString(Sealed(FolderHead("", 1) + "F" + Prefix("x", faDirectory) + Counted("1")));
  EXPECT_EQ(fs.Session().ReadFile("\\x"), "1");
  EXPECT_EQ(fs.Root()->FindChild("x")->Attributes(), faDirectory);
}

TEST(MFSFormat, NamesThatAreOneNameInTheCodePageAreRefusedNeverMerged) {
  const struct {
    int codePage;
    std::string body;
    const char* refusal; // nullptr: every item is kept
  } cases[] = {
      {1252, FolderHead("", 2) + FileRecord("Name", "1") + FileRecord("name", "2"),
       "The folder \"\\\" holds both \"Name\" and \"name\", which are one name in code page 1252"},
      {1252,
       FolderHead("", 2) + "D" + FolderHead("docs", 1) + FileRecord("x", "") + "D" +
           FolderHead("DOCS", 0),
       "holds both \"docs\" and \"DOCS\""},
      // Dotted capital I and dotless i (windows-1254) read as Y acute and y acute in 1252.
      {1252,
       FolderHead("", 1) + "D" + FolderHead("docs", 2) + FileRecord("\xDDzmir", "") +
           FileRecord("\xFDzmir", ""),
       "The folder \"\\docs\" holds both"},
      {1254,
       FolderHead("", 4) + FileRecord("\xDDzmir", "") + FileRecord("\xFDzmir", "") +
           FileRecord("izmir", "") + FileRecord("Irmak", ""),
       nullptr},
      // ya and dzhe (windows-1251) read as y and Y with diaeresis in 1252.
      {1251, FolderHead("", 2) + FileRecord("\xFF", "") + FileRecord("\x9F", ""), nullptr},
      {1252, FolderHead("", 2) + FileRecord("\xFF", "") + FileRecord("\x9F", ""), "code page 1252"},
  };
  for (const auto& c : cases) {
    TMFS fs{TCodePage(c.codePage)};
    std::string error;
    try {
      fs.LoadFromString(Sealed(c.body));
    } catch (const EMFSError& e) {
      error = e.Message();
    }
    if (c.refusal)
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    else
      EXPECT_EQ(error, "") << c.codePage;
  }
}

TEST(MFSFormat, TrailingBytesAreIgnoredButChecksummed) {
  const std::string body = FolderHead("", 1) + FileRecord("ab", "odd") + "xyz";
  ASSERT_NE(body.size() % 4, 0u);
  TMFS fs(TCodePage(1252));
  fs.LoadFromString(Sealed(body));
  EXPECT_EQ(fs.Session().ReadFile("\\ab"), "odd");
  EXPECT_EQ(MessageOf<EMFSError>([&] { fs.LoadFromString(Sealed(body) + "!"); }),
            SIncorrectSerializedFormat);
}

TEST(MFSFormat, BadHeaderFailsBeforeTheTreeIsTouched) {
  TMFS fs(TCodePage(1252));
  fs.Session().WriteFile("\\keep", "me");
  const std::string good = Sealed(FolderHead("", 1) + FileRecord("a", "hi"));
  std::string lower = good;
  for (size_t i = 3; i < 11; ++i)
    lower[i] = char(std::tolower(lower[i]));
  ASSERT_NE(lower, good) << "the checksum must have letters for this case";
  std::vector<std::string> bad = {"",
                                  "M",
                                  "MF",
                                  "MFS",
                                  "MFX" + good.substr(3),
                                  lower,
                                  good.substr(0, 10),
                                  "mfs" + good.substr(3)};
  for (size_t i = 11; i < good.size(); ++i) {
    bad.push_back(good);
    bad.back()[i] ^= 0x01;
  }
  for (const std::string& data : bad) {
    EXPECT_EQ(MessageOf<EMFSError>([&] { fs.LoadFromString(data); }), SIncorrectSerializedFormat)
        << data.size();
    // The loader that reads as it builds checks the same, but refuses a count past its limit
    // as it reads it, without reading the rest for the sum.
    TStringStream inOrder(data);
    const std::string inOrderError = MessageOf<EMFSError>([&] { fs.LoadInOrder(inOrder); });
    EXPECT_TRUE(inOrderError == SIncorrectSerializedFormat ||
                inOrderError.rfind("The file system holds more than ", 0) == 0)
        << data.size() << inOrderError;
  }
  EXPECT_EQ(fs.Session().ReadFile("\\keep"), "me");
  TStringStream inOrder(good);
  fs.LoadInOrder(inOrder);
  EXPECT_EQ(fs.SaveToString(), good);
}

TEST(MFSFormat, UnknownTagStopsTheLoadKeepingWhatWasComplete) {
  TMFS fs(TCodePage(1252));
  const std::string body = FolderHead("", 3) + FileRecord("done", "1") + "D" +
                           FolderHead("unfinished", 2) + FileRecord("inner", "2") + "X";
  EXPECT_EQ(MessageOf<EMFSError>([&] { fs.LoadFromString(Sealed(body)); }),
            SIncorrectSerializedFormat);
  EXPECT_EQ(fs.Root()->Children().Count(), 1);
  EXPECT_EQ(fs.Session().ReadFile("\\done"), "1");
}

TEST(MFSFormat, NegativeLengthsAndCountsAreRejected) {
  const std::string minusOne = LE32(0xFFFFFFFF);
  const std::string bodies[] = {
      minusOne + LE32(0) + LE32(0) + LE32(0),
      FolderHead("", 1) + "F" + Prefix("f") + minusOne,
      FolderHead("", 1) + "F" + minusOne + LE32(0) + LE32(0) + LE32(0),
      FolderHead("", -1),
      FolderHead("", 1) + "D" + FolderHead("d", int32_t(0x80000000)),
  };
  for (const std::string& body : bodies) {
    TMFS fs(TCodePage(1252));
    EXPECT_EQ(MessageOf<EMFSError>([&] { fs.LoadFromString(Sealed(body)); }),
              SIncorrectSerializedFormat);
  }
}

TEST(MFSFormat, ShortDataFailsWithTheStreamReadError) {
  // Claimed sizes far beyond the data: the load must fail without trusting them.
  const std::string bodies[] = {
      FolderHead("", 1) + "F" + Prefix("f") + LE32(0x7FFFFFFF) + "tiny",
      LE32(0x7FFFFFFF) + "x",
      FolderHead("", int32_t(TMFS::MaxLoadItems)) + FileRecord("a", ""),
  };
  for (const std::string& body : bodies) {
    TMFS fs(TCodePage(1252));
    EXPECT_EQ(MessageOf<EReadError>([&] { fs.LoadFromString(Sealed(body)); }), SReadError);
  }

  // Every cut of a valid body (resealed) fails in an orderly way.
  TMFS source(TCodePage(1252));
  source.Session().WriteFile("\\d\\f", "content");
  source.Session().WriteFile("\\g", "");
  const std::string body = source.SaveToString().substr(11);
  for (size_t length = 0; length < body.size(); ++length) {
    TMFS fs(TCodePage(1252));
    EXPECT_THROW(fs.LoadFromString(Sealed(body.substr(0, length))), EReadError) << length;
  }
}

// A folder's record counts its items before any is read: too many are refused there, before
// one is made (these bodies hold far fewer than they count, which a load that made them first
// would report as data cut short).
TEST(MFSFormat, ItemsAreRefusedAsTheirFolderCountsThemBeforeAnyIsMade) {
  const uint64_t most = TMFS::MaxLoadItems;
  const std::string tooMany = Format("The file system holds more than %llu files and folders",
                                     static_cast<unsigned long long>(most));
  const struct {
    std::string body;
    uint64_t budget;
    std::string error;
  } cases[] = {
      {FolderHead("", int32_t(most + 1)) + FileRecord("a", ""), UINT64_MAX, tooMany},
      {FolderHead("", 2) + "D" + FolderHead("d", int32_t(most - 1)) + FileRecord("a", ""),
       UINT64_MAX, tooMany},
      {FolderHead("", 10) + FileRecord("a", ""), 10 * TMFS::ItemLoadCost - 1,
       "The file system takes more than 0 MB of memory"},
  };
  for (const auto& c : cases) {
    TMFS fs(TCodePage(1252));
    fs.SetLoadBudget(c.budget);
    EXPECT_EQ(MessageOf<EMFSError>([&] { fs.LoadFromString(Sealed(c.body)); }), c.error);
    // Read in order, the refusal comes before the rest is read, whatever it holds.
    const std::string rest(1 << 20, 'x');
    TStringStream inOrder(Sealed(c.body + rest));
    EXPECT_EQ(MessageOf<EMFSError>([&] { fs.LoadInOrder(inOrder); }), c.error);
    EXPECT_LT(inOrder.Position(), int64_t(rest.size()));
  }
}

TEST(MFSFormat, DeepNestingLoadsSavesAndFrees) {
  constexpr int Depth = 100000;
  std::string body;
  for (int i = 0; i < Depth; ++i)
    body += FolderHead("d", 1) + "D";
  body += FolderHead("leaf", 0);
  const std::string data = Sealed(body);
  TMFS fs(TCodePage(1252));
  fs.LoadFromString(data);
  int depth = 0;
  for (const TMFSFolder* folder = fs.Root(); folder->Children().Count() == 1; ++depth)
    folder = static_cast<const TMFSFolder*>(folder->Children().GetObjects()[0]);
  EXPECT_EQ(depth, Depth);
  EXPECT_EQ(fs.SaveToString(), data);
  fs.LoadFromString(data); // frees the first deep tree
  EXPECT_EQ(fs.Root()->Children().Count(), 1);

  // A failure at the bottom frees every unfinished level.
  TMFS broken(TCodePage(1252));
  EXPECT_THROW(broken.LoadFromString(Sealed(body.substr(0, body.size() - 3))), EReadError);
  EXPECT_EQ(broken.Root()->Children().Count(), 0);
}

TEST(MFSFormat, RealBookRoundTripsByteForByte) {
  const std::string data = LoadFileToString(MFS_TEST_DATA "/typical_info.mfs");
  TMFS fs(TCodePage(1252));
  fs.LoadFromString(data);
  TMFSSession& s = fs.Session();
  EXPECT_EQ(s.GetFile("\\images\\empty.dat")->Content(), "");
  EXPECT_NE(s.ReadFile("\\System.xml").find("Variables"), std::string::npos);
  EXPECT_EQ(s.GetFile("\\pages\\chapter2.html")->Content().size(), 564u);
  EXPECT_EQ(fs.SaveToString(), data);
}

TEST(MFSFormat, ContentNotWantedKeepsItsLengthIsSummedAndCannotBeWritten) {
  const std::string body = FolderHead("", 2) + FileRecord("keep.xml", "<a/>") + "D" +
                           FolderHead("Sub", 1) + FileRecord("big.dat", std::string(1000, 'x'));
  TMFS fs(TCodePage(1252));
  std::vector<std::string> asked;
  fs.SetContentWanted([&asked](const std::string& path) {
    asked.push_back(path);
    return path == "\\keep.xml";
  });
  TStringStream data(Sealed(body));
  fs.LoadInOrder(data);
  EXPECT_EQ(asked, (std::vector<std::string>{"\\keep.xml", "\\Sub\\big.dat"}));
  EXPECT_EQ(fs.Session().ReadFile("\\keep.xml"), "<a/>");
  const TMFSFile* big = fs.Session().GetFile("\\sub\\BIG.dat");
  EXPECT_TRUE(big->ContentLeftOut());
  EXPECT_TRUE(big->Content().empty());
  EXPECT_EQ(big->Size(), 1000u);
  // What is written from the tree would lose the content: it fails instead.
  const std::string notRead = Format(SContentNotRead, "big.dat");
  EXPECT_EQ(MessageOf<EMFSError>([&] { fs.SaveToString(); }), notRead);
  EXPECT_EQ(MessageOf<EMFSError>([&] { fs.Root()->SaveToDisk(TempFolder() + "/never"); }), notRead);
  EXPECT_EQ(MessageOf<EMFSError>([&] { fs.Session().ReadFile("\\Sub\\big.dat"); }), notRead);
  EXPECT_EQ(MessageOf<EMFSError>([&] {
              TMFSFileStream stream(fs.Session().GetFile("\\Sub\\big.dat"));
              stream.Size();
            }),
            notRead);
  // A byte changed in the content let go is still caught by the checksum.
  std::string damaged = Sealed(body);
  damaged[damaged.size() - 10] ^= 1;
  TStringStream damagedData(damaged);
  EXPECT_EQ(MessageOf<EMFSError>([&] { fs.LoadInOrder(damagedData); }), SIncorrectSerializedFormat);
  fs.SetContentWanted({});
  TStringStream again(Sealed(body));
  fs.LoadInOrder(again);
  EXPECT_EQ(fs.SaveToString(), Sealed(body));
}
