#include "CabTestSupport.h"
#include "common/u_Common.h"
#include "common/u_Files.h"
#include "common/u_SysUtils.h"
#include "ebook/u_EBookDocument.h"
#include "ebook_fixture.h"
#include "mfs/u_MFS.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "resources/vexRes.h"
#include "resources/vexTools.h"
#include "resources/vexTypes.h"
#include "variables/u_Variables.h"
#include "variables/u_VariablesBudget.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const TVariableRows TypicalRows = {
    {"Author", "Mara Quill"},
    {"Company", "Quill Press"},
    {"Copyright", "Copyright 2025 %{Company}. All rights reserved."},
    {"Discount", " $5 off with code GARDEN"},
    {"Email", "books@example.org"},
    {"Title", "The Garden Handbook"},
    {"Website", "https://example.org/garden"},
};

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TVariableRows WithValue(TVariableRows rows, const std::string& name, const std::string& value) {
  for (TVariableRow& row : rows)
    if (row.Name == name)
      row.Value = value;
  return rows;
}

constexpr uid_t Nobody = 65534;
constexpr gid_t GroupOfNoOne = 4242;

// Runs action in a child process as the user nobody, who belongs to no group; its exit status.
int AsNobody(const std::function<int()>& action) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(Nobody) != 0 || ::setuid(Nobody) != 0)
      ::_exit(99);
    ::_exit(action());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

} // namespace

class EBookDocumentTest : public EBookFixture {};

TEST_F(EBookDocumentTest, OpenShowsTitleRowsAndIcon) {
  TEBookDocument document(TCodePage(1252));
  const std::string book = CopySample("typical.exe");
  // Open makes no temporary file at all: a temporary folder that cannot hold one is no bar.
  std::filesystem::remove_all(Folder() / "tmp");
  { std::ofstream(Folder() / "tmp") << "a file, not a folder"; }
  document.OpenEBook(book);
  EXPECT_TRUE(document.Opened());
  EXPECT_EQ(document.FileName(), book);
  EXPECT_EQ(document.Title(), "The Garden Handbook by Mara Quill");
  EXPECT_EQ(document.Rows(), TypicalRows);
  EXPECT_EQ(IconSizes(document.ShownIcon()), "32x32");
}

// Each book reads its texts in its own code page, side by side: the title refers to its
// variable in the other letter case, and each holds two names that are one in the other's.
TEST_F(EBookDocumentTest, TwoBooksOfDifferentCodePagesAreOpenAtOnce) {
  // yo and YO in windows-1251 are a cedilla and a diaeresis in 1254; ya and dzhe are y and Y
  // with diaeresis there.
  const std::string cyrillic = AssembleBook(
      {{"System.xml", "<System Variables=\"Variables.xml\" ApplicationTitle=\"%{\xB8}\"/>"},
       {"Variables.xml", "<vars><var name=\"\xA8\">yo</var></vars>"},
       {"\xFF.html", "ya"},
       {"\x9F.html", "dzhe"}},
      TCodePage(1251));
  // Dotted capital I and dotless i in windows-1254 are E and e in 1251.
  const std::string turkish = AssembleBook(
      {{"System.xml", "<System Variables=\"Variables.xml\" ApplicationTitle=\"%{\xDDzmir}\"/>"},
       {"Variables.xml",
        "<vars><var name=\"\xFDzmir\">i</var><var name=\"\xDDzmir\">I</var></vars>"},
       {"\xDD.html", "I"},
       {"\xFD.html", "i"}},
      TCodePage(1254));
  TEBookDocument first(TCodePage(1251));
  TEBookDocument second(TCodePage(1254));
  first.OpenEBook(cyrillic);
  second.OpenEBook(turkish);
  EXPECT_EQ(first.Title(), "yo");
  EXPECT_EQ(first.Content().Root()->Children().Count(), 4);
  EXPECT_EQ(second.Title(), "I");
  EXPECT_EQ(second.Rows().size(), 2u);
  EXPECT_EQ(second.Content().Root()->Children().Count(), 4);
  first.SetCodePage(TCodePage(1254));
  EXPECT_FALSE(first.Opened());
  EXPECT_THROW(first.OpenEBook(cyrillic), EMFSError);
  second.SetCodePage(TCodePage(1251));
  EXPECT_THROW(second.OpenEBook(turkish), EMFSError);
}

TEST_F(EBookDocumentTest, EverySampleLayoutOpens) {
  for (const char* sample : {"icons4.exe", "rsrc_not_last.exe"}) {
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(CopySample(sample));
    EXPECT_EQ(document.Rows(), TypicalRows) << sample;
    EXPECT_EQ(IconSizes(document.EBookIcon()), "32x32") << sample;
  }
}

TEST_F(EBookDocumentTest, MissingVariablesFileGivesAnEmptyStoreAndUnexpandedTitle) {
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(CopySample("no_variables_file.exe"));
  EXPECT_TRUE(document.Rows().empty());
  EXPECT_EQ(document.Title(), "%{Title} by %{Author}");
  EXPECT_EQ(document.BuildVariablesText({}), "<vars>\r\n</vars>\r\n");
}

TEST_F(EBookDocumentTest, FailedOpensEndClosedWithoutTemporaryCopy) {
  // The messages name the book, never the scratch files the content is read through.
  const std::string noPages = CopySample("no_system_mfs.exe");
  const std::string pagesNoCabinet = (Folder() / "no_cabinet.exe").string();
  fs::rename(CopySample("typical.exe"), pagesNoCabinet);
  UpdateRCDataResource(pagesNoCabinet, "SYSTEM_MFS", "plainly no cabinet");
  const struct {
    std::string book;
    std::string message;
  } cases[] = {
      {CopySample("cycle.exe"),
       "Cycling reference encountered during loading variable \"Edition\""},
      {noPages, "File \"" + noPages + "\" is not an eBook: it holds no eBook pages"},
      {pagesNoCabinet,
       "File \"" + pagesNoCabinet + "\" is a damaged eBook: its pages cannot be unpacked"},
  };
  for (const auto& c : cases) {
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(CopySample("typical.exe"));
    EXPECT_EQ(ErrorOf([&] { document.OpenEBook(c.book); }), c.message);
    EXPECT_FALSE(document.Opened()) << "the first book is not restored";
    EXPECT_TRUE(document.Rows().empty());
    EXPECT_TRUE(document.FileName().empty());
    EXPECT_TRUE(TempFolderIsEmpty()) << c.book;
  }
  TEBookDocument document(TCodePage(1252));
  const std::string missing = (Folder() / "missing.exe").string();
  EXPECT_EQ(ErrorOf([&] { document.OpenEBook(missing); }),
            "Cannot open file \"" + missing + "\". No such file or directory");
  const std::string notPE = (Folder() / "text.exe").string();
  SaveStringToFile("just text", notPE);
  EXPECT_FALSE(ErrorOf([&] { document.OpenEBook(notPE); }).empty());
  // A book past the limit of an icon or values file is still read whole: it fails as what it
  // is (no executable), not as too large.
  const std::string big = (Folder() / "big.exe").string();
  std::filesystem::resize_file(notPE, MaxWholeFileSize + 1);
  std::filesystem::rename(notPE, big);
  EXPECT_EQ(ErrorOf([&] { document.OpenEBook(big); }).rfind("Cannot read file", 0),
            std::string::npos);
  EXPECT_FALSE(document.Opened());
  EXPECT_TRUE(TempFolderIsEmpty());
}

// Variables cost far more than their bytes: a small file of many entries is refused by the
// book's budget before it is parsed (the file here is not even well formed, which a parse would
// report), while one big value is no more than its size.
TEST_F(EBookDocumentTest, VariablesAreChargedToTheBooksBudgetBeforeTheirStoreIsBuilt) {
  std::string tags;
  for (uint64_t i = 0; i <= (uint64_t(64) << 20) / VariablesTagCost; ++i)
    tags += "<v/>\n";
  TEBookDocument document(TCodePage(1252));
  const std::string many =
      AssembleBook({{"System.xml", "<System/>"}, {"Variables.xml", "<vars>" + tags + "<"}});
  EXPECT_EQ(ErrorOf([&] {
              document.OpenEBook(many);
            }).rfind("The variables file \"\\Variables.xml\" takes more than ", 0),
            0u);
  EXPECT_FALSE(document.Opened());
  const std::string value(4 << 20, 'v');
  document.OpenEBook(
      AssembleBook({{"System.xml", "<System/>"},
                    {"Variables.xml", "<vars>\n<var name=\"Big\">" + value + "</var></vars>"}}));
  EXPECT_EQ(document.Rows(), (TVariableRows{{"Big", value}}));
}

// A content refused for the items it asks for is refused as its record is read: the rest of
// the cabinet is not inflated for nothing (which took seconds on a book of millions of files).
TEST_F(EBookDocumentTest, AContentRefusedForItsItemsStopsItsUnpackThere) {
  TMFS fs(TCodePage(1252));
  fs.Session().ForceFolders("\\d");
  std::string body = fs.SaveToString().substr(11); // the last folder's count last
  const uint32_t many = TMFS::MaxLoadItems + 1;
  body.replace(body.size() - 4, 4, std::string(reinterpret_cast<const char*>(&many), 4));
  body += RandomData(size_t(2) << 20, 7); // more than a small cabinet, inflated on a thread
  const std::string cabinet =
      Pack({{"info.mfs", "MFS" + Format("%08X", TextChecksum(body)) + body}});
  int unpacked = 0;
  TMFS loaded(TCodePage(1252));
  EXPECT_EQ(
      ErrorOf([&] { UnpackSystemMFS(loaded, cabinet, [&](int percent) { unpacked = percent; }); }),
      Format("The file system holds more than %u files and folders", many - 1));
  EXPECT_LT(unpacked, 50);
}

// The disk filling while a brand writes (something else writing there) fails it with the cause
// and about how much it needs, at whichever step; the book and its folder stay as they were.
TEST_F(EBookDocumentTest, ADiskThatFillsAtAnyStepOfABrandSaysHowMuchItNeeds) {
  TScratchMount disk(Folder() / "disk", uint64_t(32) << 20);
  if (!disk.Mounted)
    GTEST_SKIP() << "mounting a file system of its own needs root";
  const std::string original =
      LoadFileToString(AssembleBook({{"System.xml", "<System/>"},
                                     {"Variables.xml", "<vars><var name=\"Author\">A</var></vars>"},
                                     {"pages.bin", RandomData(size_t(4) << 20, 9)}}));
  const std::string onDisk = (Folder() / "disk" / "book.exe").string();
  const struct {
    TEBookStep step;
    int percent;
  } steps[] = {{esPack, 0}, {esPack, 60}, {esRewrite, 0}, {esRewrite, 60}};
  for (const auto& [step, percent] : steps) {
    SCOPED_TRACE(int(step) * 1000 + percent);
    fs::remove_all(Folder() / "disk" / "fill");
    SaveStringToFile(original, onDisk);
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(onDisk);
    bool filled = false;
    document.OnProgress = [&, step = step, percent = percent](TEBookStep now, int at) {
      if (!filled && now == step && at >= percent) {
        disk.LeaveFree(0);
        filled = true;
      }
    };
    const std::string error =
        ErrorOf([&] { document.UpdateEBook(WithValue(document.Rows(), "Author", "Ann")); });
    EXPECT_TRUE(filled);
    EXPECT_NE(error.find("No space left on device: the new book needs about "), std::string::npos)
        << error;
    EXPECT_NE(error.find(" MB in \"" + (Folder() / "disk").string() + "\", where "),
              std::string::npos)
        << error;
    EXPECT_TRUE(document.Opened());
    EXPECT_EQ(LoadFileToString(onDisk), original);
    EXPECT_EQ(std::distance(fs::directory_iterator(Folder() / "disk"), fs::directory_iterator()), 2)
        << "only the book and the fill stay";
  }
}

TEST_F(EBookDocumentTest, BrandingWritesEditedValuesAndKeepsEverythingElse) {
  const std::string book = CopySample("typical.exe");
  const FileMap before = ContentOf(book);
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  document.UpdateEBook(WithValue(document.Rows(), "Author", "Ann Reseller"));

  EXPECT_TRUE(document.Opened()) << "update ends with the book reopened";
  EXPECT_EQ(document.Rows(), WithValue(TypicalRows, "Author", "Ann Reseller"));
  EXPECT_EQ(document.Title(), "The Garden Handbook by Ann Reseller");
  EXPECT_EQ(IconSizes(document.EBookIcon()), "32x32") << "no new icon: the icon stays";

  const FileMap after = ContentOf(book);
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [path, bytes] : before) {
    if (path != "Variables.xml") {
      EXPECT_EQ(after.at(path), bytes) << path << " is byte-identical";
    }
  }
  const TVariableRows variables = AllVariables(after.at("Variables.xml"));
  EXPECT_EQ(ValueOf(variables, "BuildId"), "$20250101-7") << "hidden values are written back";
  EXPECT_EQ(ValueOf(variables, "Engine"), "$core");
  EXPECT_EQ(ValueOf(variables, "Author"), "Ann Reseller");
  EXPECT_TRUE(IsValidImage(book));
}

TEST_F(EBookDocumentTest, UpdateEndsInExactlyTheStateOfAFreshOpen) {
  // The reopen after update keeps the content it packed instead of unpacking it again: what it
  // shows must equal, item for item, what opening the written file anew gives.
  for (const char* sample : {"typical.exe", "icons4.exe", "no_variables_file.exe"}) {
    SCOPED_TRACE(sample);
    const std::string book = CopySample(sample);
    TEBookDocument updated(TCodePage(1252));
    updated.OpenEBook(book);
    updated.LoadNewIcon(LoadFileToString(SamplePath("icons/brand_3.ico")));
    updated.UpdateEBook(WithValue(updated.Rows(), "Author", "Ann Reseller"));
    TEBookDocument fresh(TCodePage(1252));
    fresh.OpenEBook(book);
    EXPECT_EQ(updated.Opened(), fresh.Opened());
    EXPECT_EQ(updated.FileName(), fresh.FileName());
    EXPECT_EQ(updated.Title(), fresh.Title());
    EXPECT_EQ(updated.Rows(), fresh.Rows());
    EXPECT_EQ(updated.EBookIcon(), fresh.EBookIcon());
    EXPECT_EQ(updated.EBookIconGroup(), fresh.EBookIconGroup());
    EXPECT_EQ(updated.ShownIcon(), fresh.ShownIcon());
    EXPECT_EQ(updated.BuildVariablesText(updated.Rows()), fresh.BuildVariablesText(fresh.Rows()));
    EXPECT_EQ(updated.Content().SaveToString(), fresh.Content().SaveToString())
        << "names, dates, attributes, contents and order of every item";
  }
}

TEST_F(EBookDocumentTest, ACopyOfABookChangedOnDiskSinceItsOpenIsWrittenFromWhatWasOpened) {
  // A copy is made from the book as it was opened, taking unchanged blocks over from it: a
  // block the file holds by then that differs from what was opened must never reach the copy.
  std::string pages;
  for (int i = 0; pages.size() < 600'000; ++i)
    pages += "page " + std::to_string(i * 7919 % 100'003) + (i % 11 ? " " : "\n");
  FileMap files = {{"System.xml", "<System ApplicationTitle=\"%{Name}\"/>"},
                   {"Variables.xml", "<vars><var name=\"Name\">Old</var></vars>"},
                   {"pages.txt", pages}};
  const std::string book = AssembleBook(files);
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  files["pages.txt"][300'000] ^= 1;
  std::filesystem::copy_file(AssembleBook(files), book,
                             std::filesystem::copy_options::overwrite_existing);
  const std::string copy = (Folder() / "copy.exe").string();
  document.UpdateEBook({{"Name", "New"}}, copy);
  EXPECT_EQ(document.Title(), "New");
  EXPECT_EQ(ContentOf(copy).at("pages.txt"), pages);
}

TEST_F(EBookDocumentTest, AnOpenThatLetsTheCabinetGoWritesWhatOneThatKeepsItWrites) {
  // Without KeepCabinet the memory of the whole pages inside the cabinet goes and an update
  // reads the old blocks from the file: a page let go beyond the cabinet gives another copy.
  std::string pages;
  for (int i = 0; pages.size() < 300'000; ++i)
    pages += "page " + std::to_string(i * 7919 % 100'003) + (i % 11 ? " " : "\n");
  const std::string book = AssembleBook({{"System.xml", "<System/>"}, {"pages.txt", pages}});
  ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  std::string copies[2];
  for (const bool keep : {false, true}) {
    TEBookDocument document(TCodePage(1252));
    document.KeepCabinet = keep;
    document.OpenEBook(book);
    const std::string copy = (Folder() / (keep ? "kept.exe" : "let-go.exe")).string();
    document.UpdateEBook({}, copy);
    copies[keep] = LoadFileToString(copy);
  }
  ::unsetenv("SOURCE_DATE_EPOCH");
  EXPECT_TRUE(copies[false] == copies[true]);

  // A block changed on disk since the open is not taken over: the copy holds what was opened.
  TEBookDocument document(TCodePage(1252));
  document.KeepCabinet = false;
  document.OpenEBook(book);
  {
    std::fstream file(book, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(std::streamoff(LoadFileToString(book).size() / 2));
    file.put('#');
  }
  const std::string copy = (Folder() / "changed.exe").string();
  document.UpdateEBook({}, copy);
  EXPECT_TRUE(ContentOf(copy).at("pages.txt") == pages);

  // The content is unpacked from the file: a file cut short meanwhile is no damaged book.
  TEBookDocument cut(TCodePage(1252));
  cut.KeepCabinet = false;
  cut.OnProgress = [&](TEBookStep step, int) {
    if (step == esUnpack)
      std::filesystem::resize_file(book, std::filesystem::file_size(book) / 2);
  };
  EXPECT_EQ(ErrorOf([&] { cut.OpenEBook(book); }),
            "The file \"" + book + "\" changed on disk since it was opened");
}

TEST_F(EBookDocumentTest, ABookWhoseOtherResourceLiesInTheCabinetKeepsTheCabinet) {
  // An update copies every other resource's data from the book as opened: data lying in the
  // cabinet's bytes would be copied as the zeros a cabinet let go leaves there.
  std::string pages;
  for (int i = 0; pages.size() < 300'000; ++i)
    pages += "page " + std::to_string(i * 7919 % 100'003) + (i % 11 ? " " : "\n");
  const std::string book = AssembleBook({{"System.xml", "<System/>"}, {"pages.txt", pages}});
  UpdateRCDataResource(book, "SHARED", std::string(4096, 's'));
  std::string bytes = LoadFileToString(book);
  TResourcePlace cabinet;
  TResourcePlace shared;
  TImageHeaders headers;
  {
    const TPEModule module(book, bytes);
    cabinet = ModuleResourcePlace(module, "RCDATA", "SYSTEM_MFS");
    shared = ModuleResourcePlace(module, "RCDATA", "SHARED");
    headers = ReadImageHeaders(module.Image());
  }
  // SHARED's data entry is pointed into the middle of the cabinet.
  const TSectionHeader& section = headers.Sections[size_t(headers.ResourceSection())];
  const auto rvaBytes = [&](uint64_t offset) {
    const auto rva = uint32_t(offset - section.PointerToRawData + section.VirtualAddress);
    return std::string{char(rva), char(rva >> 8), char(rva >> 16), char(rva >> 24)};
  };
  const size_t entry = bytes.find(rvaBytes(shared.Offset) + std::string("\0\x10\0\0", 4));
  ASSERT_NE(entry, std::string::npos);
  const uint64_t middle = cabinet.Offset + cabinet.Size / 2;
  bytes.replace(entry, 4, rvaBytes(middle));
  SaveStringToFile(bytes, book);

  TEBookDocument document(TCodePage(1252));
  document.KeepCabinet = false;
  document.OpenEBook(book);
  const std::string copy = (Folder() / "copy.exe").string();
  document.UpdateEBook({}, copy);
  EXPECT_TRUE(ReadModuleResource(TPEModule(copy), "RCDATA", "SHARED") ==
              bytes.substr(middle, 4096));
  EXPECT_TRUE(ContentOf(copy).at("pages.txt") == pages);
}

TEST_F(EBookDocumentTest, AValueOfAnotherLengthKeepsEveryBlockBehindTheVariablesFile) {
  // The pages sort after Variables.xml, so a longer value moves all of them. The book's cabinet
  // is made of stored blocks: one taken over is told apart from one deflated anew.
  std::string pages;
  for (int i = 0; pages.size() < 400'000; ++i)
    pages += "page " + std::to_string(i * 7919 % 100'003) + (i % 11 ? " " : "\n");
  const std::string book =
      AssembleBook({{"System.xml", "<System ApplicationTitle=\"%{Name}\"/>"},
                    {"Variables.xml", "<vars><var name=\"Name\">Old</var></vars>"},
                    {"www\\pages.txt", pages}});
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  TCabBuilder stored;
  stored.AddFileFolder("info.mfs", document.Content().SaveToString(), false);
  for (TBuiltBlock& block : stored.folders[0].blocks)
    block.stored = true;
  const std::string before = stored.Build();
  UpdateRCDataResource(book, "SYSTEM_MFS", before);

  document.OpenEBook(book);
  document.UpdateEBook({{"Name", "A name longer than the old one"}});
  EXPECT_EQ(document.Title(), "A name longer than the old one");
  const std::string after = ReadModuleResource(TPEModule(book), "RCDATA", "SYSTEM_MFS");
  const TCabLayout old = ReadLayout(before), now = ReadLayout(after);
  std::set<std::string_view> oldBlocks;
  for (size_t i = 0; i < old.dataOffsets.size(); ++i)
    oldBlocks.insert(
        std::string_view(before).substr(old.dataOffsets[i] + 8, old.dataCompressed[i]));
  size_t taken = 0;
  for (size_t i = 0; i < now.dataOffsets.size(); ++i)
    taken += oldBlocks.count(
        std::string_view(after).substr(now.dataOffsets[i] + 8, now.dataCompressed[i]));
  EXPECT_EQ(taken, old.dataOffsets.size() - 1) << "all but the one holding the variables file";

  if (!HaveTool("cabextract"))
    GTEST_SKIP() << "cabextract is not installed (scripts/setup installs it)";
  const std::string cabinet = (Folder() / "after.cab").string();
  SaveStringToFile(after, cabinet);
  std::string extracted;
  ASSERT_EQ(RunCommand("cabextract -q -p '" + cabinet + "'", &extracted), 0);
  EXPECT_TRUE(extracted == document.Content().SaveToString()) << "what another reader reads";
}

TEST_F(EBookDocumentTest, BrandingWritesItsScratchFilesWhereTheNewBookGoes) {
  // The new cabinet waits on disk until the rewrite, beside the new book, nameless: a
  // temporary folder that cannot take files must not stop a brand that could be written.
  const std::string book = CopySample("typical.exe");
  fs::remove_all(Folder() / "tmp");
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  document.UpdateEBook(WithValue(document.Rows(), "Author", "Ann Reseller"));
  EXPECT_EQ(AnsiValue(book, "Author"), "Ann Reseller");
  EXPECT_EQ(std::distance(fs::directory_iterator(Folder()), fs::directory_iterator()), 1)
      << "only the book is left";
}

// The first entry of each name in a variables file, as the file holds it: "<var name="N">V</var>"
// lines, as every file here is written.
static std::map<std::string, std::string> FirstEntries(const std::string& file) {
  std::map<std::string, std::string> entries;
  const std::string start = "<var name=\"";
  for (size_t at = file.find(start); at != std::string::npos; at = file.find(start, at + 1)) {
    const size_t nameEnd = file.find("\">", at);
    const size_t valueEnd = file.find("</var>", nameEnd);
    entries.emplace(file.substr(at + start.size(), nameEnd - at - start.size()),
                    file.substr(nameEnd + 2, valueEnd - nameEnd - 2));
  }
  return entries;
}

// A brand writes what it is given and leaves every other value as the book stores it,
// references and hidden values too: read back from the book's bytes, not through the store.
TEST_F(EBookDocumentTest, ABrandChangesExactlyTheValuesItIsGiven) {
  const std::string sample = CopySample("typical.exe");
  if (StoredFileOf(sample, "Variables.xml").empty())
    GTEST_SKIP() << "cabextract is not installed (scripts/setup installs it)";
  const struct {
    const char* what;
    TVariableRows edits;
    bool icon;
    std::string copyright; // as the book shows it after
  } cases[] = {
      {"a value another refers to",
       {{"Company", "NewCo"}},
       false,
       "Copyright 2025 NewCo. All rights reserved."},
      {"the icon alone", {}, true, "Copyright 2025 Quill Press. All rights reserved."},
      {"a reference given", {{"Copyright", "(c) %{Author}"}}, false, "(c) Mara Quill"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string book = CopySample("typical.exe");
    std::map<std::string, std::string> expected = FirstEntries(StoredFileOf(book, "Variables.xml"));
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(book);
    TVariableRows rows = document.Rows();
    for (const TVariableRow& edit : c.edits) {
      rows = WithValue(rows, edit.Name, edit.Value);
      expected[edit.Name] = edit.Value;
    }
    if (c.icon)
      document.LoadNewIcon(LoadFileToString(SamplePath("icons/brand_3.ico")));
    EXPECT_EQ(document.ResolveWith(rows).Rows[2].Value, c.copyright) << "shown before the update";
    document.UpdateEBook(rows);
    EXPECT_EQ(FirstEntries(StoredFileOf(book, "Variables.xml")), expected);
    EXPECT_EQ(ValueOf(document.Variables(false, false), "Copyright"), c.copyright);
  }
}

TEST_F(EBookDocumentTest, RowsFollowingAChangedValueNameIt) {
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(CopySample("typical.exe"));
  const TResolution same = document.ResolveWith(document.Rows());
  EXPECT_EQ(same.Title, "The Garden Handbook by Mara Quill");
  EXPECT_TRUE(same.Rows[2].From.empty());
  const TResolution resolution = document.ResolveWith(
      WithValue(WithValue(document.Rows(), "Company", "NewCo"), "Title", "%{Company} Guide"));
  EXPECT_EQ(resolution.Title, "NewCo Guide by Mara Quill");
  EXPECT_EQ(resolution.Rows[2],
            (TResolvedRow{"Copyright 2025 NewCo. All rights reserved.", {"Company"}}));
  EXPECT_TRUE(resolution.Rows[1].From.empty()) << "a changed row follows nothing";
  EXPECT_TRUE(resolution.Rows[0].From.empty());
}

TEST_F(EBookDocumentTest, VariablesFileListsRowsFirstThenEveryOtherVariableAsRead) {
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(CopySample("typical.exe"));
  const std::string text =
      document.BuildVariablesText({{"Author", "New"}, {"Company", "Quill Press"}});
  EXPECT_EQ(text.substr(0, 77), "<vars>\r\n<var name=\"Author\">New</var>\r\n"
                                "<var name=\"Company\">Quill Press</var>\r\n");
  EXPECT_EQ(text.find("<var name=\"Author\">Mara Quill</var>"), std::string::npos)
      << "a row's name is written once";
  EXPECT_NE(text.find("<var name=\"Company\">Quill Press</var>\r\n<var name=\"BuildId\">"
                      "$20250101-7</var>\r\n"),
            std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 9), "</vars>\r\n");
}

TEST_F(EBookDocumentTest, NewIconIsWrittenAndResetKeepsTheOldOne) {
  const std::string book = CopySample("typical.exe");
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  document.LoadNewIcon(LoadFileToString(SamplePath("icons/brand_3.ico")));
  EXPECT_EQ(IconSizes(document.ShownIcon()), "16x16 32x32 48x48");
  document.ResetIcon();
  EXPECT_EQ(document.ShownIcon(), document.EBookIcon());
  document.UpdateEBook(document.Rows());
  EXPECT_EQ(IconGroupSizes(book), "32x32") << "after Reset the icon is untouched";

  const std::string oldIcon = document.EBookIcon();
  document.LoadNewIcon(LoadFileToString(SamplePath("icons/brand_3.ico")));
  int rewrites = 0;
  SetCommitStepHook([&](TCommitStep step) { rewrites += step == csNewFileSynced; });
  document.UpdateEBook(document.Rows());
  SetCommitStepHook(nullptr);
  EXPECT_EQ(rewrites, 1) << "content and icon in one rewrite: a failure leaves neither";
  EXPECT_EQ(IconGroupSizes(book), "16x16 32x32 48x48");
  EXPECT_NE(document.EBookIcon(), oldIcon);
  EXPECT_TRUE(document.NewIcon().empty());
  EXPECT_TRUE(IsValidImage(book));
}

TEST_F(EBookDocumentTest, ContentAndIconGoInOneUpdate) {
  const std::string book = CopySample("typical.exe");
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  document.LoadNewIcon(LoadFileToString(SamplePath("icons/brand_3.ico")));
  // Every commit after the first fails: a book written in several would be left half done.
  int commits = 0;
  SetCommitStepHook([&commits](TCommitStep step) {
    if (step == csNewFileCreated && ++commits > 1)
      throw EVexError(EIO, "injected failure");
  });
  const std::string error =
      ErrorOf([&] { document.UpdateEBook(WithValue(document.Rows(), "Author", "Ann")); });
  SetCommitStepHook(nullptr);
  EXPECT_EQ(error, "");
  EXPECT_EQ(AnsiValue(book, "Author"), "Ann");
  EXPECT_EQ(IconGroupSizes(book), "16x16 32x32 48x48");
}

TEST_F(EBookDocumentTest, CorruptIconsAreRefusedAndChangeNothing) {
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(CopySample("typical.exe"));
  for (const char* icon : {"icons/corrupt_5_bytes.ico", "icons/corrupt_cursor_type.ico",
                           "icons/corrupt_last_image_short.ico"}) {
    EXPECT_EQ(ErrorOf([&] { document.LoadNewIcon(LoadFileToString(SamplePath(icon))); }),
              "Icon image is not valid")
        << icon;
    EXPECT_TRUE(document.NewIcon().empty());
  }
}

TEST_F(EBookDocumentTest, OperationsDoNothingWhenClosed) {
  TEBookDocument document(TCodePage(1252));
  int shellOpens = 0;
  document.OnShellOpen = [&](const std::string&) { ++shellOpens; };
  document.UpdateEBook({{"Author", "x"}});
  document.LoadNewIcon("not an icon");
  document.ResetIcon();
  document.ViewEBook();
  EXPECT_EQ(shellOpens, 0);
  EXPECT_TRUE(document.ShownIcon().empty());

  const std::string book = CopySample("typical.exe");
  document.OpenEBook(book);
  document.ViewEBook();
  EXPECT_EQ(shellOpens, 1);
}

TEST_F(EBookDocumentTest, ABookChangedOnDiskSinceItWasOpenedIsNotWrittenOver) {
  const std::string other = LoadFileToString(SamplePath("icons4.exe"));
  const struct {
    const char* change;
    std::function<void(const std::string&)> make;
  } cases[] = {
      // Another program put another book at the path: its program and content are kept.
      {"replaced by another book",
       [&other](const std::string& book) {
         const std::string next = book + ".next";
         SaveStringToFile(other, next);
         fs::rename(next, book);
       }},
      // Written over in place (as cp does), the first part of it already there.
      {"cut short in place", [](const std::string& book) { fs::resize_file(book, 4096); }},
      {"not an executable", [](const std::string& book) { SaveStringToFile("MZ only", book); }},
  };
  for (const auto& c : cases) {
    const std::string book = CopySample("typical.exe");
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(book);
    document.LoadNewIcon(LoadFileToString(SamplePath("icons/brand_3.ico")));
    c.make(book);
    const std::string changed = LoadFileToString(book);
    EXPECT_EQ(ErrorOf([&] { document.UpdateEBook(WithValue(document.Rows(), "Author", "Ann")); }),
              "The file \"" + book + "\" changed on disk since it was opened")
        << c.change;
    EXPECT_TRUE(LoadFileToString(book) == changed) << c.change;
    EXPECT_TRUE(document.Opened()) << c.change;
    EXPECT_EQ(document.Rows(), TypicalRows) << c.change;
    EXPECT_FALSE(document.NewIcon().empty()) << c.change;
    EXPECT_TRUE(TempFolderIsEmpty());
  }
}

TEST_F(EBookDocumentTest, ABookCutShortWhileItIsRewrittenIsNeitherReadNorWrittenOver) {
  const std::string book = CopySample("typical.exe");
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  // Another program writes over the book (as cp does) while the new one is being made.
  SetCommitStepHook([&book](TCommitStep step) {
    if (step == csSectionWritten)
      fs::resize_file(book, 4096);
  });
  const std::string error =
      ErrorOf([&] { document.UpdateEBook(WithValue(document.Rows(), "Author", "Ann")); });
  SetCommitStepHook(nullptr);
  EXPECT_NE(error.find("changed on disk since it was opened"), std::string::npos) << error;
  EXPECT_EQ(fs::file_size(book), 4096u);
  EXPECT_TRUE(document.Opened());
  EXPECT_TRUE(TempFolderIsEmpty());
}

// A refusal at any step of the rewrite, after the content was packed, leaves the document as
// it was: a later update writes exactly what it would have written without the refusal.
TEST_F(EBookDocumentTest, ARefusedRewriteKeepsTheDocumentAndItsContentAsTheyWere) {
  for (const TCommitStep failing : {csNewFileCreated, csNewFileSynced}) {
    const std::string book =
        AssembleBook({{"System.xml", "<System Variables=\"\\data\\vars.xml\"/>"}});
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(book);
    document.LoadNewIcon(LoadFileToString(SamplePath("icons/brand_3.ico")));
    SetCommitStepHook([failing](TCommitStep step) {
      if (step == failing)
        throw EVexError(ENOSPC, "injected failure");
    });
    const std::string error = ErrorOf([&] { document.UpdateEBook({{"Name", "Lost"}}); });
    SetCommitStepHook(nullptr);
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(document.Opened()) << failing;
    EXPECT_EQ(document.Content().Root()->FindChild("data"), nullptr) << "the folder made is gone";
    EXPECT_FALSE(document.NewIcon().empty());
    document.UpdateEBook({{"Name", "Made"}});
    const FileMap content = ContentOf(book);
    EXPECT_EQ(content.size(), 2u) << failing;
    EXPECT_EQ(ValueOf(AllVariables(content.at("data\\vars.xml")), "Name"), "Made");
    EXPECT_EQ(IconGroupSizes(book), "16x16 32x32 48x48");
  }
}

TEST_F(EBookDocumentTest, VariablesGoWhereSystemXmlSaysEvenIntoAMissingFolder) {
  const std::string book = AssembleBook(
      {{"System.xml", "<System Variables=\"\\conf\\brand.xml\" ApplicationTitle=\"%{Name}\"/>"},
       {"conf\\brand.xml", "<vars><var name=\"Name\">Old</var></vars>"}});
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  EXPECT_EQ(document.Title(), "Old");
  document.UpdateEBook({{"Name", "New"}});
  EXPECT_EQ(document.Title(), "New") << "the next open reads what update wrote";
  EXPECT_EQ(ContentOf(book).count("Variables.xml"), 0u);

  const std::string unmade =
      AssembleBook({{"System.xml", "<System Variables=\"\\data\\vars.xml\"/>"}});
  document.OpenEBook(unmade);
  document.UpdateEBook({{"Name", "Made"}});
  EXPECT_EQ(ValueOf(AllVariables(ContentOf(unmade).at("data\\vars.xml")), "Name"), "Made");
}

// What the read-only commands read: the names and lengths of every file, and System.xml and
// the variables file whole, wherever it lies, as an open of the whole content shows them.
TEST_F(EBookDocumentTest, AnOpenWithoutTheContentShowsWhatAWholeOneShows) {
  const std::string variables = "<vars><var name=\"Name\">Old</var></vars>";
  // The assembled books first: each is made from a copy of the typical sample.
  std::vector<std::string> books = {
      AssembleBook({{"System.xml", "<System ApplicationTitle=\"%{Name}\"/>"},
                    {"Variables.xml", variables},
                    {"z\\big.dat", std::string(70000, 'z')}}),
      AssembleBook(
          {{"System.xml", "<System Variables=\"conf\\BRAND.xml\" ApplicationTitle=\"%{Name}\"/>"},
           {"a.dat", std::string(5000, 'a')},
           {"conf\\brand.xml", variables}})};
  books.push_back(CopySample("typical.exe"));
  books.push_back(CopySample("no_variables_file.exe"));
  const auto listing = [](const TEBookDocument& document) {
    std::string text;
    WalkSubtree(*document.Content().Root(), [&](const TMFSItem& item, size_t depth) {
      const auto* file = dynamic_cast<const TMFSFile*>(&item);
      text += Format("%zu %s %llu;", depth, item.Name().c_str(),
                     (unsigned long long)(file ? file->Size() : 0));
    });
    return text;
  };
  for (const std::string& book : books) {
    TEBookDocument whole(TCodePage(1252));
    whole.OpenEBook(book);
    TEBookDocument names(TCodePage(1252));
    names.KeepContent = false;
    names.OpenEBook(book);
    EXPECT_EQ(names.Title(), whole.Title()) << book;
    EXPECT_EQ(names.Rows(), whole.Rows()) << book;
    EXPECT_EQ(listing(names), listing(whole)) << book;
    EXPECT_THROW(names.UpdateEBook(names.Rows()), EMFSError) << book;
  }
  TEBookDocument names(TCodePage(1252));
  names.KeepContent = false;
  names.OpenEBook(books[0]);
  std::string leftOut;
  WalkSubtree(*names.Content().Root(), [&](const TMFSItem& item, size_t) {
    if (const auto* file = dynamic_cast<const TMFSFile*>(&item); file && file->ContentLeftOut())
      leftOut += item.Name();
  });
  EXPECT_EQ(leftOut, "big.dat");
}

TEST_F(EBookDocumentTest, AbsentOrEmptyVariablesAttributeMeansTheDefaultFile) {
  for (const char* attribute : {"", " Variables=\"\""}) {
    const std::string book = AssembleBook(
        {{"System.xml", std::string("<System") + attribute + " ApplicationTitle=\"%{Name}\"/>"},
         {"Variables.xml", "<vars><var name=\"Name\">Kept</var></vars>"}});
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(book);
    EXPECT_EQ(document.Rows(), (TVariableRows{{"Name", "Kept"}})) << attribute;
    document.UpdateEBook(document.Rows());
    EXPECT_EQ(document.Title(), "Kept") << attribute;
    EXPECT_EQ(AnsiValue(book, "Name"), "Kept") << attribute;
  }
}

TEST_F(EBookDocumentTest, UpdatesThatWouldNotReopenAreRefusedBeforeTheFileIsTouched) {
  const std::string huge(TVariables::MaxResolvedSize / 60, 'x');
  std::string manyReferences;
  for (int i = 0; i < 64; ++i)
    manyReferences += "%{Title}";
  const struct {
    TVariableRows edits;
    std::string message;
  } cases[] = {
      {{{"Author", "%{Author} jr"}},
       "Cycling reference encountered during loading variable \"Author\""},
      // Copyright keeps its reference to Company as stored.
      {{{"Company", "%{Copyright}"}},
       "Cycling reference encountered during loading variable \"Company\""},
      {{{"Title", huge}, {"Company", manyReferences}}, ""},
  };
  for (const auto& c : cases) {
    const std::string book = CopySample("typical.exe");
    const std::string before = LoadFileToString(book);
    TEBookDocument document(TCodePage(1252));
    document.OpenEBook(book);
    TVariableRows rows = document.Rows();
    for (const TVariableRow& edit : c.edits)
      rows = WithValue(rows, edit.Name, edit.Value);
    const std::string error = ErrorOf([&] { document.UpdateEBook(rows); });
    EXPECT_FALSE(error.empty());
    if (!c.message.empty()) {
      EXPECT_EQ(error, c.message);
    }
    EXPECT_TRUE(document.Opened()) << error;
    EXPECT_EQ(document.Rows(), TypicalRows);
    EXPECT_TRUE(LoadFileToString(book) == before) << error;
  }
}

TEST_F(EBookDocumentTest, ValuesWithMarkupCharactersRoundTrip) {
  const std::string book = CopySample("typical.exe");
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(book);
  const std::string tricky = "a<b>\\c \"q\" 100% \xe9\xff\r\nline";
  document.UpdateEBook(WithValue(document.Rows(), "Company", tricky));
  EXPECT_EQ(document.Rows(), WithValue(TypicalRows, "Company", tricky));
}

// What the rename that replaces a book depends on: the book's folder, and who owns the book.
TEST_F(EBookDocumentTest, ReplacingTheBookDependsOnlyOnWhatTheUserMayDo) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "acting as another user needs root";
  ASSERT_EQ(::chmod((Folder() / "tmp").c_str(), 0777), 0);
  const struct {
    const char* folder;
    mode_t folderMode;
    gid_t group;
    int outcome; // 0: branded; 1: refused at the start, the book still open
  } cases[] = {{"locked", 0755, Nobody, 1}, {"shared", 0777, GroupOfNoOne, 0}};
  for (const auto& c : cases) {
    fs::create_directories(Folder() / c.folder);
    ASSERT_EQ(::chmod((Folder() / c.folder).c_str(), c.folderMode), 0);
    const std::string book = (Folder() / c.folder / "book.exe").string();
    fs::copy_file(CopySample("typical.exe"), book);
    ASSERT_EQ(::chown(book.c_str(), Nobody, c.group), 0);
    ASSERT_EQ(::chmod(book.c_str(), 0640), 0);
    const std::string before = LoadFileToString(book);
    const int outcome = AsNobody([&] {
      TEBookDocument document(TCodePage(1252));
      document.OpenEBook(book);
      const std::string error =
          ErrorOf([&] { document.UpdateEBook(WithValue(document.Rows(), "Author", "Ann")); });
      if (error.empty())
        return 0;
      return error.find("must be writable") != std::string::npos && document.Opened() ? 1 : 2;
    });
    EXPECT_EQ(outcome, c.outcome) << c.folder;
    struct stat info;
    ASSERT_EQ(::stat(book.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, Nobody) << c.folder;
    EXPECT_EQ(info.st_mode & 07777, 0640u) << c.folder;
    EXPECT_EQ(LoadFileToString(book) == before, c.outcome == 1) << c.folder;
  }
}

TEST_F(EBookDocumentTest, ProgressComesFromBytesDoneWithinEachStep) {
  // Incompressible pages of several megabytes: many cabinet blocks and rewrite pieces.
  std::string pages(5 << 20, '\0');
  uint32_t state = 1;
  for (char& c : pages)
    c = char((state = state * 1103515245u + 12345u) >> 24);
  const std::string book = AssembleBook({{"System.xml", "<System Variables=\"Variables.xml\"/>"},
                                         {"Variables.xml", "<vars></vars>"},
                                         {"pages.bin", pages}});
  std::map<TEBookStep, std::vector<int>> reported;
  TEBookDocument document(TCodePage(1252));
  document.OnProgress = [&](TEBookStep step, int percent) { reported[step].push_back(percent); };
  document.OpenEBook(book);
  document.UpdateEBook(document.Rows());
  for (const TEBookStep step : {esUnpack, esParse, esPack, esRewrite}) {
    const std::vector<int>& percents = reported[step];
    ASSERT_GE(percents.size(), 2u) << step;
    EXPECT_EQ(percents.front(), 0) << step;
    EXPECT_EQ(percents.back(), 100) << step;
    if (step != esParse) { // a parse is one description and one variables file
      EXPECT_GT(percents.size(), 2u) << step << ": not only the ends";
    }
    // Each open runs once more after the update; within one run the percents rise.
    for (size_t i = 1; i < percents.size(); ++i)
      EXPECT_TRUE(percents[i] > percents[i - 1] || percents[i] == 0) << step << " at " << i;
  }
}
