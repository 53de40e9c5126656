#include "cli/u_BatchProgress.h"
#include "cli/u_CommandLine.h"
#include "cli/u_Manifest.h"
#include "cli/u_ProgressLine.h"
#include "cli/u_WholeLineBuffer.h"
#include "common/u_AnsiText.h"
#include "common/u_Files.h"
#include "ebook_fixture.h"
#include "mfs/u_MFS.h"
#include "resources/u_IconSizes.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "resources/vexRes.h"
#include "variables/u_Variables.h"
#include "variables/u_VariablesBudget.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sstream>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
struct TRun {
  int Status;
  std::string Out;
  std::string Err;
};

TRun RunCli(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  const int status = RunCommandLine(arguments, out, err);
  return {status, out.str(), err.str()};
}

QJsonObject JsonOf(const std::string& text) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

// The one book of show --json's document.
QJsonObject ShownBook(const std::string& text) {
  return JsonOf(text)["books"].toArray().first().toObject();
}

// Each line of --json-lines output as an object; a line that is no JSON object is an empty one.
std::vector<QJsonObject> JsonLinesOf(const std::string& text) {
  std::vector<QJsonObject> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(JsonOf(line));
  return lines;
}

// LC_ALL for one scope, as a user's shell would set it; the locales need not be installed.
class TLocale {
public:
  explicit TLocale(const char* name) {
    if (const char* value = std::getenv("LC_ALL"))
      FSaved = value;
    setenv("LC_ALL", name, 1);
  }
  ~TLocale() {
    if (FSaved.empty())
      unsetenv("LC_ALL");
    else
      setenv("LC_ALL", FSaved.c_str(), 1);
  }

private:
  std::string FSaved;
};
} // namespace

class CommandLineTest : public EBookFixture {
protected:
  // typical.exe with count bytes of its cabinet, from its offset at, turned to others.
  std::string DamagedCabinet(const std::string& name, int64_t at, size_t count) const {
    std::string bytes = LoadFileToString(SamplePath("typical.exe"));
    const size_t cabinet = bytes.find("MSCF");
    uint32_t size; // cbCabinet, the cabinet's length, 8 bytes into its header
    std::memcpy(&size, bytes.data() + cabinet + 8, sizeof size);
    const size_t from = cabinet + size_t(at >= 0 ? at : int64_t(size) + at);
    for (size_t i = from; i < from + count; ++i)
      bytes[i] = char(bytes[i] ^ 0x55);
    const std::string path = (Folder() / name).string();
    SaveStringToFile(bytes, path);
    return path;
  }

  // A book made where its texts are in codePage.
  std::string AssembleBookIn(int codePage, const FileMap& files) {
    return AssembleBook(files, TCodePage(codePage));
  }
};

TEST_F(CommandLineTest, ShowPrintsTheGridAsTextAndJson) {
  const std::string book = CopySample("typical.exe");
  const TRun text = RunCli({"show", book});
  ASSERT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(text.Out,
            "File:  " + book +
                "\nCode page: 1252 (windows-1252)\nTitle: The Garden Handbook by Mara Quill\n"
                "Icon:  32x32 (8 bpp)\nSigned: no\nVariables:\n  Author = Mara Quill\n"
                "  Company = Quill Press\n"
                "  Copyright = Copyright 2025 Quill Press. All rights reserved.\n"
                "  Discount =  $5 off with code GARDEN\n  Email = books@example.org\n"
                "  Title = The Garden Handbook\n  Website = https://example.org/garden\n");

  const TRun json = RunCli({"show", "--json", "--code-page", "1251", CopySample("icons4.exe")});
  ASSERT_EQ(json.Status, 0) << json.Err;
  const QJsonObject shown = ShownBook(json.Out);
  EXPECT_EQ(JsonOf(json.Out)["version"].toInt(), 2) << json.Out;
  EXPECT_EQ(shown["status"].toString(), "shown");
  EXPECT_EQ(shown["codePage"].toInt(), 1251);
  EXPECT_EQ(shown["title"].toString(), "The Garden Handbook by Mara Quill");
  EXPECT_EQ(shown["icon"].toArray().last().toObject()["width"].toInt(), 256);
  EXPECT_TRUE(shown["signature"].isNull()) << "not signed";
  EXPECT_EQ(shown["variables"].toObject()["Author"].toString(), "Mara Quill");
  EXPECT_FALSE(shown["variables"].toObject().contains("BuildId"))
      << "hidden variables are not shown";
}

// show --json's variables are what --values takes: a book branded with them shows the same.
TEST_F(CommandLineTest, ShownVariablesBrandAnotherBookAlike) {
  const std::string source = CopySample("typical.exe");
  ASSERT_EQ(RunCli({"brand", source, "-s", "Author=Zo\xc3\xab \"Q\"\n2", "-s", "Email="}).Status,
            0);
  EXPECT_NE(RunCli({"show", source}).Out.find("  Author = \"Zo\xc3\xab \\\"Q\\\"\\n2\"\n"),
            std::string::npos)
      << "a value of several lines is one line, quoted";
  const QJsonObject variables =
      ShownBook(RunCli({"show", "-j", source}).Out)["variables"].toObject();
  const std::string values = (Folder() / "values.json").string();
  SaveStringToFile(QJsonDocument(variables).toJson().toStdString(), values);
  const std::string target = CopySample("icons4.exe");
  const TRun branded = RunCli({"brand", target, "--values", values});
  ASSERT_EQ(branded.Status, 0) << branded.Err;
  EXPECT_EQ(ShownBook(RunCli({"show", "-j", target}).Out)["variables"].toObject(), variables);
}

// --raw: values as the book stores them, references unexpanded; --all: hidden variables too.
TEST_F(CommandLineTest, ShowRawAndAllGiveStoredValuesAndHiddenVariables) {
  const std::string book =
      AssembleBook({{"System.xml", "<System Variables=\"Variables.xml\"/>"},
                    {"Variables.xml",
                     "<vars><var name=\"Author\">Ann</var><var name=\"Line\">by %{Author}</var>"
                     "<var name=\"Key\">$%{Author}</var><var name=\"Via\">%{Key}</var></vars>"}});
  const struct {
    std::vector<std::string> options;
    QJsonObject variables;
  } cases[] = {
      {{}, {{"Author", "Ann"}, {"Line", "by Ann"}}},
      {{"--raw"}, {{"Author", "Ann"}, {"Line", "by %{Author}"}}},
      {{"--all"}, {{"Author", "Ann"}, {"Line", "by Ann"}, {"Key", "$Ann"}, {"Via", "$Ann"}}},
      // Hidden by the value it resolves to, whatever it is stored as.
      {{"--all", "--raw"},
       {{"Author", "Ann"}, {"Line", "by %{Author}"}, {"Key", "$%{Author}"}, {"Via", "%{Key}"}}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"show", "--json", book};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const TRun run = RunCli(arguments);
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ShownBook(run.Out)["variables"].toObject(), c.variables) << run.Out;
  }
  EXPECT_NE(RunCli({"show", "--raw", book}).Out.find("  Line = by %{Author}\n"), std::string::npos);

  // A value written with the marker hides its variable from then on: said once a book.
  const TRun hiding = RunCli({"brand", book, "-s", "Line=$by", "-s", "Author=Bo"});
  ASSERT_EQ(hiding.Status, 0) << hiding.Err;
  EXPECT_EQ(hiding.Err,
            "folioset-cli: " + book +
                ": warning: \"Line\" will be hidden: its new value begins with \"$\"\n");
  EXPECT_EQ(ShownBook(RunCli({"show", "-j", book}).Out)["variables"].toObject(),
            (QJsonObject{{"Author", "Bo"}}));
}

// Whatever ends the command once its options are read, a script still gets whole JSON saying
// why; a mistake in the options themselves (JSON may not even be asked) prints none.
TEST_F(CommandLineTest, JsonOutputEndsWhateverCutsTheCommandShort) {
  const std::string book = CopySample("typical.exe");
  const std::string corrupt = SamplePath("icons/corrupt_cursor_type.ico");
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string error; // the "error" member; empty: nothing on standard output
  } cases[] = {
      {{"brand", "--json", book, "--icon", corrupt}, 2, corrupt + ": Icon image is not valid"},
      {{"brand", "--json-lines", book, "--icon", corrupt},
       2,
       corrupt + ": Icon image is not valid"},
      {{"brand", "-n", "--json"}, 2, "brand needs at least one book"},
      {{"show", "--json-lines"}, 2, "show needs a book"},
      {{"brand", "--json", "--frob", book}, 2, ""},
      {{"brand", "--json", "--json-lines", book}, 2, ""},
  };
  for (const auto& c : cases) {
    const TRun run = RunCli(c.arguments);
    EXPECT_EQ(run.Status, c.status) << run.Err;
    if (c.error.empty()) {
      EXPECT_EQ(run.Out, "");
      continue;
    }
    const bool lines = c.arguments[1] == "--json-lines";
    const QJsonObject last = lines ? JsonLinesOf(run.Out).back() : JsonOf(run.Out);
    EXPECT_EQ(last["error"].toString().toStdString(), c.error) << run.Out;
    EXPECT_EQ(last["version"].toInt(), 2) << run.Out;
    EXPECT_EQ(last.contains("books"), !lines) << run.Out;
  }
}

TEST_F(CommandLineTest, ShowAndListOfManyBooksInOneJsonShape) {
  const std::string book = CopySample("typical.exe");
  const std::string noPages = CopySample("no_system_mfs.exe");
  const std::string second = CopySample("icons4.exe");
  const TRun many = RunCli({"show", book, noPages, second});
  EXPECT_EQ(many.Status, 1);
  EXPECT_EQ(many.Out, RunCli({"show", book}).Out + "\n" + RunCli({"show", second}).Out);
  EXPECT_EQ(many.Err, "folioset-cli: " + noPages + ": not an e-book: it holds no packed pages\n");
  const TRun json = RunCli({"show", "-j", book, noPages, second});
  const QJsonObject document = JsonOf(json.Out);
  EXPECT_EQ(document["books"].toArray().size(), 3) << json.Out;
  EXPECT_EQ(document["books"].toArray()[1].toObject()["error"].toString(),
            "not an e-book: it holds no packed pages");
  EXPECT_EQ(document["shown"].toInt(), 2);
  EXPECT_EQ(document["failed"].toInt(), 1);

  const TRun list = RunCli({"list", book});
  ASSERT_EQ(list.Status, 0) << list.Err;
  EXPECT_EQ(std::count(list.Out.begin(), list.Out.end(), '\n'), 12) << list.Out;
  for (const char* line : {"d            0 2025-01-01 12:00:00 images/\n",
                           "-          700 2025-01-01 12:00:00 images/logo.png\n",
                           "-          564 2025-01-01 12:00:00 pages/chapter3.html\n",
                           // back at the root after a folder
                           "\n-          157 2025-01-01 12:00:00 System.xml\n"})
    EXPECT_NE(list.Out.find(line), std::string::npos) << line << list.Out;
  const TRun lists = RunCli({"list", book, noPages, second});
  EXPECT_EQ(lists.Status, 1);
  EXPECT_EQ(lists.Out,
            book + ":\n" + list.Out + "\n" + second + ":\n" + RunCli({"list", second}).Out);
  EXPECT_EQ(lists.Err, many.Err);

  // One shape whatever the number of books, so a script reads .books[] of a glob of one; a
  // key means the same in every command.
  for (const char* command : {"show", "list", "verify"}) {
    const QJsonObject one = JsonOf(RunCli({command, "--json", book}).Out);
    EXPECT_EQ(one["version"].toInt(), 2) << command;
    ASSERT_EQ(one["books"].toArray().size(), 1) << command;
    const QJsonObject object = one["books"][0].toObject();
    EXPECT_EQ(object["path"].toString().toStdString(), book) << command;
    EXPECT_EQ(object["codePage"].toInt(), 1252) << command;
    if (object.contains("signature")) {
      EXPECT_TRUE(object["signature"].isNull()) << command << ": not signed";
    }
  }
  const QJsonArray files = ShownBook(RunCli({"list", "-j", book}).Out)["files"].toArray();
  EXPECT_EQ(files.size(), 12);
  EXPECT_TRUE(files.contains(QJsonObject{{"name", "images/logo.png"},
                                         {"folder", false},
                                         {"size", 700},
                                         {"date", "2025-01-01T12:00:00"}}));
  EXPECT_TRUE(files.contains(QJsonObject{
      {"name", "images"}, {"folder", true}, {"size", 0}, {"date", "2025-01-01T12:00:00"}}));
}

TEST_F(CommandLineTest, BrandSetsValuesAndIconInPlace) {
  const std::string book = CopySample("typical.exe");
  const std::string values = (Folder() / "values.json").string();
  SaveStringToFile("{\"Website\": \"https://reseller.example\", \"email\": \"me@example.org\"}",
                   values);
  const TRun run = RunCli({"brand", book, "--set", "Author=Zo\xc3\xab", "--values", values,
                           "--icon", SamplePath("icons/brand_1.ico")});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, "branded " + book + ": 3 values set, icon replaced\n");
  const TRun shown = RunCli({"show", book});
  EXPECT_NE(shown.Out.find("Author = Zo\xc3\xab\n"), std::string::npos) << "UTF-8 in and out";
  EXPECT_NE(shown.Out.find("Email = me@example.org\n"), std::string::npos);
  EXPECT_NE(shown.Out.find("Website = https://reseller.example\n"), std::string::npos);
  EXPECT_EQ(AnsiValue(book, "Author"), "Zo\xeb") << "stored in the book's code page";
}

TEST_F(CommandLineTest, RefusedBrandingsWriteNothing) {
  const std::string book = CopySample("typical.exe");
  const std::string original = LoadFileToString(book);
  const struct {
    std::vector<std::string> arguments;
    std::string error;
  } cases[] = {
      {{"brand", book, "--set", "BuildId=1"}, "\"BuildId\" is not a brandable variable"},
      {{"brand", book, "--set", "Nope=1"}, "\"Nope\" is not a brandable variable"},
      {{"brand", book, "--set", "Author=\xce\xa9"}, "U+03A9"},
      // Named once, before any book, however many books there are.
      {{"brand", book, CopySample("icons4.exe"), "--icon",
        SamplePath("icons/corrupt_cursor_type.ico")},
       "corrupt_cursor_type.ico: Icon image is not valid"},
      {{"brand", book, "--icon", Folder().string()}, "It is a folder."},
      {{"brand", book, "--values", Folder().string()}, "It is a folder."},
      {{"brand", Folder().string()}, "It is a folder."},
  };
  for (const auto& c : cases) {
    const TRun run = RunCli(c.arguments);
    EXPECT_EQ(run.Status, 2) << c.error;
    EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << "one line: " << run.Err;
    EXPECT_EQ(LoadFileToString(book), original);
  }
  EXPECT_TRUE(TempFolderIsEmpty());
}

TEST_F(CommandLineTest, OutputLeavesTheOriginalUntouched) {
  const std::string book = CopySample("typical.exe");
  const std::string original = LoadFileToString(book);
  const std::string copy = (Folder() / "branded.exe").string();
  const TRun run = RunCli({"brand", book, "-s", "Company=Other Press", "-o", copy});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(LoadFileToString(book), original);
  EXPECT_EQ(AnsiValue(copy, "Company"), "Other Press");
  EXPECT_EQ(fs::status(copy).permissions(), fs::status(book).permissions());

  const TRun refused = RunCli({"brand", book, "--set", "Nope=1", "--output", copy + ".2"});
  EXPECT_EQ(refused.Status, 2);
  EXPECT_FALSE(fs::exists(copy + ".2"));
  for (const auto& entry : fs::directory_iterator(Folder()))
    EXPECT_EQ(entry.path().filename().string().find("partial"), std::string::npos);
}

// --backup keeps what a brand replaces, as cp --backup does: one backup replaced by the next, or
// numbered ones all kept, with the mode of the book; a book left unchanged gets none.
TEST_F(CommandLineTest, BackupKeepsWhatABrandReplaces) {
  const std::string book = CopySample("typical.exe");
  fs::permissions(book, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const std::string original = LoadFileToString(book);
  ASSERT_EQ(RunCli({"brand", book, "-s", "Author=Ann", "--backup"}).Status, 0);
  EXPECT_EQ(LoadFileToString(book + "~"), original);
  EXPECT_EQ(fs::status(book + "~").permissions(), fs::status(book).permissions());
  const std::string ann = LoadFileToString(book);
  for (int i = 0; i < 2; ++i) // the second time unchanged
    ASSERT_EQ(RunCli({"brand", book, "-s", "Author=Bo", "--backup=simple"}).Status, 0);
  EXPECT_EQ(LoadFileToString(book + "~"), ann) << "replaced by the next, not by an unchanged";
  const std::string bo = LoadFileToString(book);
  for (const char* author : {"Author=Cy", "Author=Di"})
    ASSERT_EQ(RunCli({"brand", book, "-s", author, "--backup=numbered"}).Status, 0);
  EXPECT_EQ(LoadFileToString(book + ".~1~"), bo);
  EXPECT_EQ(AnsiValue(book + ".~2~", "Author"), "Cy");
  EXPECT_EQ(AnsiValue(book, "Author"), "Di");
  EXPECT_EQ(LoadFileToString(book + "~"), ann);

  const std::string copy = (Folder() / "copy.exe").string();
  for (const char* author : {"Author=Ed", "Author=Flo"})
    ASSERT_EQ(RunCli({"brand", book, "-s", author, "-o", copy, "--backup"}).Status, 0);
  EXPECT_EQ(AnsiValue(copy + "~", "Author"), "Ed") << "the copy it replaced";
  EXPECT_EQ(AnsiValue(copy, "Author"), "Flo");
}

// A book that would fail refuses the batch before any book is written; --keep-going brands the
// others and says which failed.
TEST_F(CommandLineTest, AFailingBookRefusesTheBatchUnlessKeepGoing) {
  const std::string first = CopySample("typical.exe");
  const std::string broken = CopySample("cycle.exe");
  const std::string second = CopySample("icons4.exe");
  const TRun refused = RunCli({"brand", first, broken, second, "--set", "Author=Ann"});
  EXPECT_EQ(refused.Status, 2);
  EXPECT_EQ(refused.Out, "");
  EXPECT_EQ(refused.Err.find("folioset-cli: " + broken + ": Cycling reference"), 0u) << refused.Err;
  EXPECT_EQ(AnsiValue(first, "Author"), "Mara Quill");

  const TRun run = RunCli({"brand", first, broken, second, "--set", "Author=Ann", "--keep-going"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Out,
            "branded " + first + ": 1 value set, icon kept\nbranded " + second +
                ": 1 value set, icon kept\n2 branded, 0 unchanged, 1 failed, 0 not reached\n");
  EXPECT_NE(run.Err.find("Cycling reference"), std::string::npos);
  EXPECT_EQ(AnsiValue(second, "Author"), "Ann");
}

TEST_F(CommandLineTest, ExtractWritesTheBooksFiles) {
  const std::string target = (Folder() / "out").string();
  const TRun run = RunCli({"extract", CopySample("typical.exe"), target});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(fs::file_size(fs::path(target) / "pages" / "chapter1.html"), 564u);
  EXPECT_EQ(fs::file_size(fs::path(target) / "images" / "empty.dat"), 0u);
  EXPECT_EQ(fs::file_size(fs::path(target) / "Variables.xml"), 436u);
  // The stored dates (2025-01-01 12:00 local), as list shows them; --no-dates: now.
  const auto modified = [](const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mtime;
  };
  std::tm stored{};
  stored.tm_year = 125, stored.tm_mday = 1, stored.tm_hour = 12, stored.tm_isdst = -1;
  EXPECT_EQ(modified(fs::path(target) / "pages"), std::mktime(&stored));
  const std::time_t start = std::time(nullptr);
  const std::string undated = (Folder() / "undated").string();
  ASSERT_EQ(RunCli({"extract", "--no-dates", CopySample("typical.exe"), undated}).Status, 0);
  EXPECT_GE(modified(fs::path(undated) / "pages" / "chapter1.html"), start);
}

TEST_F(CommandLineTest, ExtractNeverWritesThroughALinkNorOverwritesUnasked) {
  const std::string book = AssembleBook(
      {{"System.xml", "<System/>"}, {"Caf\xe9.txt", "menu"}, {"pages\\one.html", "one"}});
  const fs::path target = Folder() / "out";
  const fs::path outside = Folder() / "outside";
  fs::create_directories(target);
  fs::create_directories(outside);
  SaveStringToFile("victim", (outside / "victim").string());
  fs::create_symlink(outside / "victim", target / "System.xml");
  fs::create_symlink(outside, target / "pages");

  const TRun refused = RunCli({"extract", book, target.string()});
  EXPECT_EQ(refused.Status, 1);
  EXPECT_NE(refused.Err.find((target / "pages").string() + "\". File exists"), std::string::npos)
      << refused.Err;
  const TRun forced = RunCli({"extract", book, target.string(), "--force"});
  ASSERT_EQ(forced.Status, 0) << forced.Err;
  EXPECT_EQ(LoadFileToString((outside / "victim").string()), "victim");
  EXPECT_FALSE(fs::exists(outside / "one.html"));
  EXPECT_FALSE(fs::is_symlink(target / "System.xml"));
  EXPECT_EQ(LoadFileToString((target / "System.xml").string()), "<System/>");
  EXPECT_EQ(LoadFileToString((target / "pages" / "one.html").string()), "one");
  EXPECT_EQ(LoadFileToString((target / "Caf\xc3\xa9.txt").string()), "menu") << "names in UTF-8";
}

TEST_F(CommandLineTest, OutputsThatCannotBeWrittenCleanlyAreRefusedFirst) {
  fs::create_directories(Folder() / "a");
  fs::create_directories(Folder() / "b");
  fs::create_directories(Folder() / "out");
  const std::string a = (Folder() / "a" / "book.exe").string();
  const std::string b = (Folder() / "b" / "book.exe").string();
  fs::copy_file(CopySample("typical.exe"), a);
  fs::copy_file(SamplePath("icons4.exe"), b);
  fs::create_symlink(a, Folder() / "link.exe");
  fs::create_hard_link(a, Folder() / "hard.exe");
  SaveStringToFile("elsewhere", (Folder() / "elsewhere.txt").string());
  fs::create_symlink(Folder() / "elsewhere.txt", Folder() / "elsewhere.exe");
  ASSERT_EQ(::mkfifo((Folder() / "fifo.exe").c_str(), 0600), 0);
  const std::string original = LoadFileToString(a);
  const struct {
    std::vector<std::string> books;
    std::string output;
    std::string error;
  } cases[] = {
      {{a, b}, (Folder() / "out").string(), "would both be written to"},
      {{a}, (Folder() / "a").string(), "would overwrite the book"},
      {{a}, (Folder() / "link.exe").string(), "would overwrite the book"},
      {{a}, (Folder() / "hard.exe").string(), "would overwrite the book"},
      {{a}, (Folder() / "nowhere" / "copy.exe").string(), "nowhere\" cannot be used"},
      // Replaced by a regular file, these would lose what they are.
      {{a}, (Folder() / "fifo.exe").string(), "fifo.exe is not a regular file"},
      {{a}, (Folder() / "elsewhere.exe").string(), "elsewhere.exe is not a regular file"},
  };
  // The dry run refuses what the brand refuses.
  for (const auto& c : cases)
    for (const char* mode : {"--quiet", "--dry-run"}) {
      std::vector<std::string> arguments{"brand", mode};
      arguments.insert(arguments.end(), c.books.begin(), c.books.end());
      for (const char* option : {"--set", "Author=Ann", "--output"})
        arguments.push_back(option);
      arguments.push_back(c.output);
      const TRun run = RunCli(arguments);
      EXPECT_EQ(run.Status, 2) << c.output;
      EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
      EXPECT_EQ(LoadFileToString(a), original) << c.output;
      EXPECT_TRUE(fs::is_empty(Folder() / "out")) << c.output;
      EXPECT_TRUE(fs::is_fifo(Folder() / "fifo.exe"));
      EXPECT_TRUE(fs::is_symlink(Folder() / "elsewhere.exe"));
    }
  const TRun intoFolder =
      RunCli({"brand", a, "--set", "Author=Ann", "--output", (Folder() / "out").string()});
  ASSERT_EQ(intoFolder.Status, 0) << intoFolder.Err;
  EXPECT_EQ(AnsiValue((Folder() / "out" / "book.exe").string(), "Author"), "Ann");
  EXPECT_EQ(LoadFileToString(a), original);
}

TEST_F(CommandLineTest, OutputDashWritesTheBrandedBookToStandardOutput) {
  const std::string book = CopySample("typical.exe");
  const std::string original = LoadFileToString(book);
  const TRun run = RunCli({"brand", book, "--set", "Author=Ann", "--output", "-"});
  ASSERT_EQ(run.Status, 0) << run.Err;
  const std::string copy = (Folder() / "copy.exe").string();
  SaveStringToFile(run.Out, copy);
  EXPECT_EQ(AnsiValue(copy, "Author"), "Ann") << "standard output holds the book, nothing else";
  EXPECT_EQ(LoadFileToString(book), original);
  EXPECT_FALSE(fs::exists("-"));
  EXPECT_TRUE(TempFolderIsEmpty());
  EXPECT_EQ(
      RunCli({"brand", book, CopySample("icons4.exe"), "--set", "Author=Ann", "--output", "-"})
          .Status,
      2);
}

TEST_F(CommandLineTest, AStopSignalLeavesEachBookAsItWasOrFinished) {
  const struct {
    int signal;
    int status;
    QString name;
    TCommitStep step; // of the first book's write, where the signal arrives
  } cases[] = {{SIGINT, 130, "SIGINT", csNewFileCreated},
               {SIGTERM, 143, "SIGTERM", csNewFileCreated},
               // Too late to stop that book: it is finished, and reported so.
               {SIGINT, 130, "SIGINT", csNewFileSynced}};
  for (const auto& c : cases) {
    const std::string first = CopySample("typical.exe");
    const std::string second = CopySample("icons4.exe");
    // One signal arrives while a book is being written (books are branded a few at once, so
    // the other may be too, or may be done).
    std::atomic<bool> raised = false;
    SetCommitStepHook([&c, &raised](TCommitStep step) {
      if (step == c.step && !raised.exchange(true))
        std::raise(c.signal);
    });
    const TRun run = RunCli({"brand", "--json-lines", first, second, "--set", "Author=Ann"});
    SetCommitStepHook(nullptr);
    EXPECT_EQ(run.Status, c.status) << run.Err;
    const std::vector<QJsonObject> lines = JsonLinesOf(run.Out);
    EXPECT_EQ(lines.back()["stopped"].toString(), c.name) << run.Out;
    EXPECT_EQ(lines.back()["type"].toString(), "summary") << run.Out;
    int finished = 0;
    for (const std::string& book : {first, second}) {
      const std::string author = AnsiValue(book, "Author");
      EXPECT_TRUE(author == "Ann" || author == "Mara Quill") << "as it was or finished";
      const bool reported = std::any_of(lines.begin(), lines.end(), [&book](const QJsonObject& l) {
        return l["path"].toString().toStdString() == book && l["status"] == "branded";
      });
      EXPECT_EQ(reported, author == "Ann")
          << "a book finished is reported, one stopped is not: " << run.Out;
      finished += author == "Ann" ? 1 : 0;
    }
    if (c.step == csNewFileSynced) {
      EXPECT_GE(finished, 1) << "the book past its sync is finished: " << run.Out;
    }
    EXPECT_EQ(lines.back()["notReached"].toInt(), 2 - int(lines.size() - 1)) << run.Out;
    EXPECT_TRUE(TempFolderIsEmpty());
  }
  // A stopped run's text ends with the summary too, the books not reached counted.
  const std::string book = CopySample("typical.exe");
  SetCommitStepHook([](TCommitStep step) {
    if (step == csNewFileCreated)
      std::raise(SIGINT);
  });
  const TRun text = RunCli({"brand", book, CopySample("icons4.exe"), "-s", "Author=Ann"});
  SetCommitStepHook(nullptr);
  EXPECT_EQ(text.Status, 130);
  std::smatch counts;
  ASSERT_TRUE(std::regex_search(text.Out, counts,
                                std::regex("(\\d) branded, 0 unchanged, 0 failed, (\\d) not reached\n$")))
      << text.Out;
  EXPECT_EQ(std::stoi(counts[1]) + std::stoi(counts[2]), 2) << text.Out;
}

// Wherever a brand fails, it says so in one line that names the book and the cause, and the
// book stays as it was: a disk without room for it, a book or a folder that cannot be written,
// a damaged book, a book whose variables would cost far more than their size.
TEST_F(CommandLineTest, EveryFailedBrandIsOneLineNamingTheBookAndTheCause) {
  TScratchMount disk(Folder() / "disk", uint64_t(80) << 20);
  if (!disk.Mounted)
    GTEST_SKIP() << "mounting a file system of its own needs root";
  // Refused before anything is written (2), or failed while writing (1).
  const auto expectOneLine = [](const TRun& run, const std::string& book, const std::string& cause,
                                int status = 2) {
    EXPECT_EQ(run.Status, status);
    EXPECT_EQ(run.Err.rfind("folioset-cli: " + book + ": ", 0), 0u) << run.Err;
    EXPECT_NE(run.Err.find(cause), std::string::npos) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
  };
  // Pages that do not pack: the brand needs room for a new cabinet and a new book, 42 MB.
  std::string pages(size_t(21) << 20, '\0');
  std::mt19937 random(32);
  std::generate(pages.begin(), pages.end(), [&] { return char(random()); });
  const std::string original =
      LoadFileToString(AssembleBook({{"System.xml", "<System/>"},
                                     {"Variables.xml", "<vars><var name=\"Author\">A</var></vars>"},
                                     {"pages.bin", pages}}));
  const std::string onDisk = (Folder() / "disk" / "book.exe").string();
  // From 1 to 40 MB free, then room enough.
  for (uint64_t free = 1; free <= 48; free += free == 40 ? 8 : 3) {
    SCOPED_TRACE(free);
    fs::remove_all(Folder() / "disk" / "fill");
    SaveStringToFile(original, onDisk);
    disk.LeaveFree(free << 20);
    const TRun run = RunCli({"brand", "-q", "-s", "Author=Ann", onDisk});
    if (free <= 40) {
      expectOneLine(run, onDisk, "No space left on device: the new book needs about 4", 1);
      EXPECT_EQ(LoadFileToString(onDisk), original);
    } else {
      EXPECT_EQ(run.Status, 0) << "the room asked for is about what a brand takes" << run.Err;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(Folder() / "disk"), fs::directory_iterator()),
              2)
        << "only the book and the fill stay";
  }
  fs::remove_all(Folder() / "disk" / "fill");
  SaveStringToFile(original, onDisk);
  disk.ReadOnly();
  expectOneLine(RunCli({"brand", "-s", "Author=Ann", onDisk}), onDisk,
                "The book is on a read-only file system: it cannot be replaced there; brand a "
                "copy with --output");
  const std::string book = CopySample("typical.exe");
  const std::string intoReadOnly = (Folder() / "disk" / "copy.exe").string();
  expectOneLine(RunCli({"brand", "-s", "Author=Ann", "-o", intoReadOnly, book}), book,
                "The folder \"" + (Folder() / "disk").string() +
                    "\" cannot be written: Read-only file system");
  const std::string damaged = DamagedCabinet("damaged.exe", -300, 100);
  expectOneLine(RunCli({"brand", "-s", "Author=Ann", damaged}), damaged,
                "a damaged e-book: its packed pages cannot be unpacked");
  std::string tags;
  for (uint64_t i = 0; i <= (uint64_t(64) << 20) / VariablesTagCost; ++i)
    tags += "<v/>\n";
  const std::string bomb =
      AssembleBook({{"System.xml", "<System/>"}, {"Variables.xml", "<vars>" + tags + "</vars>"}});
  expectOneLine(RunCli({"brand", "-s", "Author=Ann", bomb}), bomb,
                "The variables file \"\\Variables.xml\" takes more than ");
}

TEST_F(CommandLineTest, ErrorsAreOneLineNamingTheFile) {
  const std::string book = CopySample("typical.exe");
  const std::string missing = (Folder() / "missing.exe").string();
  const std::string notABook = (Folder() / "notes.exe").string();
  SaveStringToFile("not a book", notABook);
  const std::string noPages = CopySample("no_system_mfs.exe");
  const std::string damagedBlock = DamagedCabinet("block.exe", -300, 100);
  const std::string unknownCompression = DamagedCabinet("compression.exe", 42, 2);
  const std::string fifo = (Folder() / "fifo.exe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string tryHelp = "\nTry 'folioset-cli --help'.\n";
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string err; // the start of standard error
  } cases[] = {
      {{"show", missing}, 1, "folioset-cli: " + missing + ": Cannot open file \""},
      // What is wrong in the user's words: no error number, no name of our own.
      {{"show", notABook},
       1,
       "folioset-cli: " + notABook +
           ": not an executable image: the file does not begin with \"MZ\"\n"},
      {{"show", noPages},
       1,
       "folioset-cli: " + noPages + ": not an e-book: it holds no packed pages\n"},
      {{"show", damagedBlock},
       1,
       "folioset-cli: " + damagedBlock +
           ": a damaged e-book: its packed pages cannot be unpacked\n"},
      {{"show", unknownCompression},
       1,
       "folioset-cli: " + unknownCompression +
           ": a damaged e-book: its packed pages cannot be unpacked\n"},
      // Refused before a byte is read: /dev/zero would give 4 GiB, a FIFO waits for a writer.
      {{"show", "/dev/zero"},
       1,
       "folioset-cli: /dev/zero: Cannot open file \"/dev/zero\". It is not a regular file.\n"},
      {{"extract", fifo, (Folder() / "out").string()},
       1,
       "folioset-cli: " + fifo + ": Cannot open file \"" + fifo + "\". It is not a regular file."},
      {{"extract", missing, (Folder() / "out").string()}, 1, "folioset-cli: " + missing + ": "},
      // Refused before anything is written: 2, as a usage mistake, but without the pointer.
      {{"brand", book, "--icon", missing}, 2, "folioset-cli: " + missing + ": Cannot open"},
      {{"brand", book, "--set", "Nope=1"},
       2,
       "folioset-cli: " + book + ": \"Nope\" is not a brandable variable\n"},
      {{}, 2, "folioset-cli: no command given" + tryHelp},
      {{"frobnicate"}, 2, "folioset-cli: unknown command 'frobnicate'" + tryHelp},
      {{"show", "--frob", book}, 2, "folioset-cli: unknown option '--frob'" + tryHelp},
      {{"show", book, "-x"}, 2, "folioset-cli: unknown option '-x'" + tryHelp},
      {{"show", "--json=yes", book}, 2, "folioset-cli: option '--json' takes no value" + tryHelp},
      {{"show"}, 2, "folioset-cli: show needs a book" + tryHelp},
      {{"brand", book, "--set"}, 2, "folioset-cli: option '--set' needs a value" + tryHelp},
      // Not "--backup sometimes": the value is given only as "--backup=sometimes".
      {{"brand", book, "--backup", "sometimes"},
       2,
       "folioset-cli: sometimes: Cannot open file \"sometimes\""},
      {{"brand", book, "--backup=sometimes"},
       2,
       "folioset-cli: --backup takes simple or numbered, not sometimes" + tryHelp},
      {{"brand", book, "--check", "-n"},
       2,
       "folioset-cli: --check and --dry-run exclude each other: --check writes nothing" + tryHelp},
  };
  for (const auto& c : cases) {
    const TRun run = RunCli(c.arguments);
    EXPECT_EQ(run.Status, c.status) << c.err;
    EXPECT_EQ(run.Err.find(c.err), 0u) << run.Err;
    EXPECT_EQ(run.Err.find('\r'), std::string::npos) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'),
              c.err.find(tryHelp) != std::string::npos ? 2 : 1)
        << run.Err;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
  }
}

TEST_F(CommandLineTest, HelpAndVersionAnywhereAndDoubleDashEndsTheOptions) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--help"},
                                             {"-h"},
                                             {"show", "--help"},
                                             {"brand", "a.exe", "--set", "A=1", "-h"},
                                             {"extract", "--help", "--frob"}}) {
    const TRun help = RunCli(arguments);
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.find("Usage: folioset-cli " +
                            (arguments[0][0] == '-' ? std::string() : arguments[0])),
              0u)
        << help.Out;
  }
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--version"}, {"brand", "a.exe", "--version"}})
    EXPECT_EQ(RunCli(arguments).Out, std::string("folioset-cli ") + FOLIOSET_VERSION + "\n");

  const fs::path before = fs::current_path();
  fs::current_path(Folder());
  fs::copy_file(CopySample("typical.exe"), "-book.exe");
  const TRun optionLike = RunCli({"show", "--", "-book.exe"});
  const TRun refused = RunCli({"show", "-book.exe"});
  const TRun helpAsBook = RunCli({"show", "--", "--help"});
  fs::current_path(before);
  EXPECT_EQ(optionLike.Status, 0) << optionLike.Err;
  EXPECT_EQ(refused.Status, 2);
  EXPECT_EQ(helpAsBook.Status, 1);
  EXPECT_EQ(helpAsBook.Err.find("folioset-cli: --help: Cannot open file"), 0u) << helpAsBook.Err;
}

// A brand that would change nothing writes nothing, not even the same bytes: values compared
// as stored (a reference is not its resolution), the icon by its images wherever the .ico file
// puts them. --check tells the same, writing nothing, and says what differs.
TEST_F(CommandLineTest, NothingToChangeWritesNothingAndABookNamedTwiceIsBrandedOnce) {
  const std::string icon = SamplePath("icons/brand_1.ico");
  std::string bytes = LoadFileToString(icon);
  bytes.insert(22, 16, '\0'); // the one image 16 bytes further, its offset (at 18) with it
  bytes[18] = char(bytes[18] + 16);
  const std::string moved = (Folder() / "moved.ico").string();
  SaveStringToFile(bytes, moved);
  bytes.back() = char(bytes.back() ^ 1);
  const std::string other = (Folder() / "other.ico").string();
  SaveStringToFile(bytes, other);
  const std::string stored = "Copyright=Copyright 2025 %{Company}. All rights reserved.";
  const std::string resolved = "Copyright=Copyright 2025 Quill Press. All rights reserved.";
  const struct {
    const char* what;
    std::vector<std::string> first; // applied before, when given
    std::vector<std::string> again;
    std::string differs; // what --check says differs; empty: unchanged
  } cases[] = {
      {"a value as stored", {}, {"-s", "Author=Mara Quill"}, ""},
      {"a reference as stored", {}, {"-s", stored}, ""},
      {"a reference resolved",
       {},
       {"-s", resolved},
       "  Copyright: \"Copyright 2025 %{Company}. All rights reserved.\" -> \"Copyright 2025 "
       "Quill Press. All rights reserved.\"\n"},
      {"the icon it holds", {"--icon", icon}, {"--icon", icon, "-s", "Author=Mara Quill"}, ""},
      {"the same images elsewhere in the .ico", {"--icon", icon}, {"--icon", moved}, ""},
      {"another image of the same size",
       {"--icon", icon},
       {"--icon", other},
       "  icon: 32x32 (1 bpp) -> 32x32 (1 bpp)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string book = CopySample("typical.exe");
    const auto run = [&](std::vector<std::string> options) {
      options.insert(options.begin(), {"brand", book});
      return RunCli(options);
    };
    if (!c.first.empty()) {
      ASSERT_EQ(run(c.first).Status, 0);
    }
    fs::last_write_time(book, fs::file_time_type::clock::now() - std::chrono::hours(1));
    struct stat before, after;
    ASSERT_EQ(::stat(book.c_str(), &before), 0);
    const std::string image = LoadFileToString(book);
    std::vector<std::string> check = c.again;
    check.push_back("--check");
    const TRun checked = run(check);
    EXPECT_EQ(checked.Status, c.differs.empty() ? 0 : 1) << checked.Err;
    EXPECT_EQ(checked.Out, c.differs.empty() ? "unchanged " + book + ": it holds what was asked "
                                                                      "already\n"
                                             : "differs " + book + ":\n" + c.differs);
    const TRun again = run(c.again);
    ASSERT_EQ(again.Status, 0) << again.Err;
    EXPECT_EQ(again.Out.rfind("unchanged ", 0) == 0, c.differs.empty()) << again.Out;
    ASSERT_EQ(::stat(book.c_str(), &after), 0);
    if (c.differs.empty()) {
      EXPECT_EQ(LoadFileToString(book), image);
      EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << "not even the same bytes again";
      EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
    }
    EXPECT_EQ(run(check).Status, 0) << "done, the check says so";
  }

  const std::string book = CopySample("typical.exe");
  const std::string link = (Folder() / "link.exe").string();
  fs::create_symlink(book, link);
  const TRun twice = RunCli({"brand", "-j", book, link, "-s", "Author=Ann"});
  ASSERT_EQ(twice.Status, 0) << twice.Err;
  const QJsonObject report = QJsonDocument::fromJson(QByteArray::fromStdString(twice.Out)).object();
  EXPECT_EQ(report["books"].toArray().size(), 1) << twice.Out;
  EXPECT_EQ(AnsiValue(book, "Author"), "Ann");
  const TRun again = RunCli({"brand", "-j", book, "-s", "Author=Ann"});
  EXPECT_EQ(
      QJsonDocument::fromJson(QByteArray::fromStdString(again.Out)).object()["unchanged"].toInt(),
      1)
      << again.Out;
}

TEST_F(CommandLineTest, DryRunTellsWhatWouldChangeAndWritesNothing) {
  const std::string book = CopySample("typical.exe");
  const std::string broken = CopySample("cycle.exe");
  const std::string original = LoadFileToString(book);
  const std::string icon = SamplePath("icons/brand_1.ico");
  const TRun text =
      RunCli({"brand", "-n", book, broken, "-s", "Author=Ann", "-s", "Email=me@example.org\n2",
              "-s", "Company=Quill Press", "--icon", icon, "--keep-going"});
  EXPECT_EQ(text.Status, 1) << "the book that would fail says so";
  EXPECT_EQ(text.Out, "would brand " + book +
                          ":\n  Author: \"Mara Quill\" -> \"Ann\"\n"
                          "  Email: \"books@example.org\" -> \"me@example.org\\n2\"\n"
                          "  icon: 32x32 (8 bpp) -> 32x32 (1 bpp)\n"
                          "  title: \"The Garden Handbook by Mara Quill\" -> "
                          "\"The Garden Handbook by Ann\"\n"
                          "1 branded, 0 unchanged, 1 failed, 0 not reached\n");
  EXPECT_EQ(text.Err.find("folioset-cli: " + broken + ": Cycling reference"), 0u) << text.Err;

  const TRun json = RunCli({"brand", "--dry-run", "--json", book, "--set", "Company=Ann"});
  ASSERT_EQ(json.Status, 0) << json.Err;
  const QJsonObject preview = JsonOf(json.Out)["books"].toArray()[0].toObject();
  const QJsonObject changes = preview["changes"].toObject();
  EXPECT_EQ(changes["variables"].toObject(),
            (QJsonObject{{"Company", QJsonObject{{"old", "Quill Press"}, {"new", "Ann"}}}}));
  EXPECT_EQ(changes["derived"].toObject(),
            (QJsonObject{{"Copyright", QJsonObject{{"old", "Copyright 2025 Quill Press. All rights "
                                                           "reserved."},
                                                   {"new", "Copyright 2025 Ann. All rights "
                                                           "reserved."},
                                                   {"from", QJsonArray{"Company"}}}}}));
  EXPECT_TRUE(changes["icon"].isNull());
  EXPECT_EQ(preview["status"].toString(), "branded");
  EXPECT_TRUE(preview["dryRun"].toBool());
  EXPECT_EQ(LoadFileToString(book), original);
  EXPECT_TRUE(TempFolderIsEmpty());
}

TEST_F(CommandLineTest, BrandJsonReportsEveryBookAndTheTotals) {
  const std::string first = CopySample("typical.exe");
  const std::string broken = CopySample("cycle.exe");
  const std::string copy = (Folder() / "copy.exe").string();
  const std::string icon = SamplePath("icons/brand_1.ico");
  // Refused before any write: the refused books, and why nothing was written.
  const TRun refused = RunCli({"brand", "-j", first, broken, "--set", "Author=Ann"});
  EXPECT_EQ(refused.Status, 2);
  EXPECT_EQ(JsonOf(refused.Out)["error"].toString(), "1 book refused; nothing written");
  EXPECT_EQ(JsonOf(refused.Out)["books"].toArray().size(), 1);

  const TRun run = RunCli({"brand", "-j", first, broken, "--set", "Author=Ann", "--keep-going"});
  EXPECT_EQ(run.Status, 1);
  const QJsonObject report = JsonOf(run.Out);
  const QJsonArray books = report["books"].toArray();
  ASSERT_EQ(books.size(), 2) << run.Out;
  // What changed, stored before and after, and what the book shows otherwise through them.
  QJsonObject branded = books[0].toObject();
  const QJsonObject changes = branded.take("changes").toObject();
  EXPECT_EQ(changes["variables"].toObject(),
            (QJsonObject{{"Author", QJsonObject{{"old", "Mara Quill"}, {"new", "Ann"}}}}));
  EXPECT_EQ(changes["title"].toObject()["new"].toString(), "The Garden Handbook by Ann");
  EXPECT_EQ(changes["signature"].toObject(), (QJsonObject{{"old", QJsonValue()}, {"new", QJsonValue()}}));
  EXPECT_EQ(branded, (QJsonObject{{"path", QString::fromStdString(first)},
                                              {"output", QString::fromStdString(first)},
                                              {"status", "branded"},
                                              {"valuesSet", 1},
                                              {"iconChanged", false},
                                              {"codePage", 1252},
                                              {"signatureRemoved", false},
                                              {"signed", false}}));
  EXPECT_EQ(books[1].toObject()["status"].toString(), "failed");
  EXPECT_TRUE(books[1].toObject()["error"].toString().startsWith("Cycling reference"));
  EXPECT_FALSE(books[0].toObject().contains("error"));
  EXPECT_EQ(report["version"].toInt(), 2);
  EXPECT_EQ(report["branded"].toInt(), 1);
  EXPECT_EQ(report["failed"].toInt(), 1);
  EXPECT_EQ(run.Err.find("folioset-cli: " + broken + ": Cycling reference"), 0u) << run.Err;

  // A line per book as it is done, then the summary; the same members as the document's.
  const TRun lines = RunCli({"brand", "--json-lines", first, "-s", "Author=Bo", "-s", "Title=T",
                             "--icon", icon, "-o", copy});
  const std::vector<QJsonObject> objects = JsonLinesOf(lines.Out);
  ASSERT_EQ(objects.size(), 2u) << lines.Out;
  EXPECT_EQ(objects[0]["type"].toString(), "book") << lines.Out;
  EXPECT_EQ(objects[0]["output"].toString(), QString::fromStdString(copy));
  EXPECT_EQ(objects[0]["valuesSet"].toInt(), 2);
  EXPECT_TRUE(objects[0]["iconChanged"].toBool());
  EXPECT_EQ(
      objects[1],
      (QJsonObject{
          {"type", "summary"}, {"version", 2}, {"branded", 1}, {"unchanged", 0}, {"failed", 0},
          {"notReached", 0}}));
}

TEST_F(CommandLineTest, ValuesFromStandardInputMustBeValidUnicodeAndFitAVariable) {
  const std::string book = CopySample("typical.exe");
  const auto brandFromInput = [&](const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = RunCommandLine({"brand", book, "--values", "-"},
                                      {in, out, err, false, false}, TCodePage::ForLocale());
    return TRun{status, out.str(), err.str()};
  };
  EXPECT_EQ(brandFromInput("{\"Author\": \"Ann\"}").Status, 0);
  EXPECT_EQ(AnsiValue(book, "Author"), "Ann");
  const std::string branded = LoadFileToString(book);
  for (const char* lone : {"{\"Author\": \"x\\ud800\"}", "{\"\\udc00\": \"x\"}"}) {
    const TRun run = brandFromInput(lone);
    EXPECT_EQ(run.Status, 2) << lone;
    EXPECT_EQ(run.Err.find("folioset-cli: standard input: "), 0u) << run.Err;
    EXPECT_NE(run.Err.find("is not valid Unicode"), std::string::npos) << run.Err;
    EXPECT_EQ(LoadFileToString(book), branded);
  }
  // A value no variable can hold is refused as it is read, before the JSON is parsed (what
  // follows it is not JSON).
  const TRun tooLong =
      brandFromInput("{\"Author\": \"" + std::string(TVariables::MaxResolvedSize + 1, 'a') + "\"");
  EXPECT_EQ(tooLong.Err, "folioset-cli: standard input: the value of \"Author\" holds more than "
                         "67108864 bytes, the most a variable can hold\n");
  EXPECT_EQ(LoadFileToString(book), branded);
}

TEST_F(CommandLineTest, SourceDateEpochMakesBrandingByteReproducible) {
  struct TEpoch {
    TEpoch() { setenv("SOURCE_DATE_EPOCH", "1700000000", 1); }
    ~TEpoch() { unsetenv("SOURCE_DATE_EPOCH"); }
  } epoch;
  // 2023-11-14 22:13:20 UTC as a DOS date and time.
  constexpr uint16_t EpochDate = 43 << 9 | 11 << 5 | 14;
  constexpr uint16_t EpochTime = 22 << 11 | 13 << 5 | 20 / 2;
  // Without a variables attribute the brand creates \Variables.xml.
  const std::string plain = AssembleBook({{"System.xml", "<System ApplicationTitle=\"T\"/>"}});
  const std::string first = CopySample("typical.exe");
  const std::string second = (Folder() / "second.exe").string();
  fs::copy_file(first, second);
  for (const std::string& book : {first, second})
    ASSERT_EQ(RunCli({"brand", book, "--set", "Author=Ann"}).Status, 0) << book;
  ASSERT_EQ(RunCli({"brand", plain, "--icon", SamplePath("icons/brand_1.ico")}).Status, 0);
  EXPECT_EQ(LoadFileToString(first), LoadFileToString(second));

  const std::string cabinet = ReadModuleResource(TPEModule(first), "RCDATA", "SYSTEM_MFS");
  const auto u16 = [&](size_t at) {
    return uint16_t(uint8_t(cabinet[at]) | uint8_t(cabinet[at + 1]) << 8);
  };
  const size_t member = u16(16); // the first file entry of the cabinet
  EXPECT_EQ(u16(member + 10), EpochDate);
  EXPECT_EQ(u16(member + 12), EpochTime);
  TMFS content(TCodePage(1252));
  UnpackSystemMFS(content, ReadModuleResource(TPEModule(plain), "RCDATA", "SYSTEM_MFS"));
  EXPECT_EQ(content.Session().GetFile("\\Variables.xml")->DateTime(),
            uint32_t(EpochDate) << 16 | EpochTime);

  // The last second of 2107 is the last a cabinet holds; a year later would be clamped.
  setenv("SOURCE_DATE_EPOCH", "4354819199", 1);
  ASSERT_EQ(RunCli({"brand", second, "--set", "Author=Cy"}).Status, 0);
  for (const char* refusedEpoch : {"yesterday", "4354819200"}) {
    setenv("SOURCE_DATE_EPOCH", refusedEpoch, 1);
    const TRun refused = RunCli({"brand", first, "--set", "Author=Bo"});
    EXPECT_EQ(refused.Status, 2) << refusedEpoch;
    EXPECT_NE(refused.Err.find("SOURCE_DATE_EPOCH"), std::string::npos) << refused.Err;
    EXPECT_EQ(AnsiValue(first, "Author"), "Ann");
  }
}

TEST_F(CommandLineTest, ProgressLineOnlyOnATerminalAndNotWhenQuiet) {
  const std::string first = CopySample("typical.exe");
  const std::string second = CopySample("icons4.exe");
  int runs = 0; // each run sets a new value, so that each writes
  const auto brand = [&](bool terminal, bool quiet) {
    std::istringstream in;
    std::ostringstream out, err;
    std::vector<std::string> arguments = {"brand", first, second, "--set",
                                          "Author=" + std::to_string(++runs)};
    if (quiet)
      arguments.push_back("--quiet");
    const int status =
        RunCommandLine(arguments, {in, out, err, terminal, false}, TCodePage::ForLocale());
    return TRun{status, out.str(), err.str()};
  };
  // The books' bytes: those done of all.
  const std::string total =
      Format("%.1f MB] ", double(fs::file_size(first) + fs::file_size(second)) / 1e6);
  const TRun drawn = brand(true, false);
  EXPECT_EQ(drawn.Status, 0);
  // The other book, branded at once, may have counted some of its bytes already.
  const size_t unpack = drawn.Err.find(" of " + total + first + ": unpack 0%");
  ASSERT_NE(unpack, std::string::npos) << drawn.Err;
  EXPECT_EQ(drawn.Err.rfind("\r\033[K[1/2, ", unpack), unpack - 13) << drawn.Err;
  // Books are branded at once: the line tells of the first book until it is done.
  EXPECT_NE(drawn.Err.find(" of " + total + first + ": rewrite 100%"), std::string::npos);
  EXPECT_EQ(drawn.Err.substr(drawn.Err.size() - 4), "\r\033[K") << "the line is taken away";
  EXPECT_EQ(drawn.Out, brand(false, false).Out);
  EXPECT_EQ(brand(true, true).Err, "");
  EXPECT_EQ(brand(false, false).Err, "");
}

TEST_F(CommandLineTest, ProcessesBrandingAtOnceDoNotTakeEachOthersTemporaryNames) {
  // Every document counts its temporary names from 1, so four processes meet on the same
  // names at once; a name taken between the check and the create must not fail the book.
  std::string books;
  for (int i = 0; i < 100; ++i) {
    const std::string book = (Folder() / ("book" + std::to_string(i) + ".exe")).string();
    fs::copy_file(SamplePath("typical.exe"), book);
    fs::permissions(book, fs::perms::owner_write, fs::perm_options::add);
    books += " '" + book + "'";
  }
  const std::string command = "printf '%s\\n'" + books +
                              " | xargs -P 4 -n 5 " FOLIOSET_CLI
                              " brand --quiet --set Author=Ann >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(AnsiValue((Folder() / "book99.exe").string(), "Author"), "Ann");
}

TEST_F(CommandLineTest, ABookWithoutIconShowsNoneAndStillBrands) {
  const std::string book = CopySample("typical.exe");
  TResUpdateContext* update = BeginResourceUpdate(book, false);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(UpdateResourceEntry(update, TResIdent(14), TResIdent(u"MAINICON"), 0, nullptr, 0));
  ASSERT_TRUE(EndResourceUpdate(update, false));

  const TRun shown = RunCli({"show", book});
  ASSERT_EQ(shown.Status, 0) << shown.Err;
  EXPECT_NE(shown.Out.find("Icon:  none\n"), std::string::npos) << shown.Out;
  EXPECT_EQ(RunCli({"show", "--json", book}).Status, 0);
  EXPECT_EQ(RunCli({"brand", book, "--set", "Author=Ann"}).Status, 0);
  EXPECT_EQ(AnsiValue(book, "Author"), "Ann");
  EXPECT_EQ(IconSizesText(""), "none");
}

TEST_F(CommandLineTest, FileNamesArePrintedAsTheSystemGivesThem) {
  const std::string book = (Folder() / "Caf\xc3\xa9.exe").string();
  fs::copy_file(CopySample("typical.exe"), book);
  const TRun shown = RunCli({"show", book});
  ASSERT_EQ(shown.Status, 0) << shown.Err;
  EXPECT_EQ(shown.Out.find("File:  " + book + "\n"), 0u) << "not re-encoded from the code page";
  const TRun branded = RunCli({"brand", book, "--set", "Author=Ann"});
  EXPECT_EQ(branded.Out, "branded " + book + ": 1 value set, icon kept\n");

  // In JSON a name that is not UTF-8 is readable, and its bytes find the file again.
  const std::string latin1 = (Folder() / "Caf\xe9\xff.exe").string();
  fs::copy_file(book, latin1);
  const QByteArray bytes = QByteArray::fromStdString(latin1);
  for (const QJsonObject& object :
       {ShownBook(RunCli({"show", "-j", latin1}).Out),
        JsonLinesOf(RunCli({"brand", "--json-lines", latin1, "-s", "Author=Bo"}).Out)[0]}) {
    EXPECT_EQ(QByteArray::fromBase64(object["pathBytes"].toString().toLatin1()), bytes);
    EXPECT_TRUE(object["path"].toString().endsWith(u"Caf\ufffd\ufffd.exe"))
        << object["path"].toString().toStdString();
  }
  EXPECT_FALSE(ShownBook(RunCli({"show", "-j", book}).Out).contains("pathBytes"))
      << "UTF-8 needs none";
}

TEST_F(CommandLineTest, NamesThatFoldToOneUnderTheWrongCodePageAreRefusedNotDropped) {
  const struct {
    int codePage;
    FileMap names;
  } books[] = {
      // Dotted I, dotless i (windows-1254), which windows-1252 reads as Y and y acute.
      {1254,
       {{"docs\\\xDDzmir.txt", "1"},
        {"docs\\\xFDzmir.txt", "2"},
        {"docs\\izmir.txt", "3"},
        {"docs\\Irmak.txt", "4"}}},
      // ya and dzhe (windows-1251), which windows-1252 reads as y and Y with diaeresis.
      {1251, {{"\xFF.html", "1"}, {"\x9F.html", "2"}}},
  };
  for (const auto& [codePage, names] : books) {
    FileMap files = names;
    files["System.xml"] = "<System Variables=\"Variables.xml\"/>";
    files["Variables.xml"] = "<vars><var name=\"Author\">Ann</var></vars>";
    const std::string book = AssembleBookIn(codePage, files);
    const std::string before = LoadFileToString(book);
    const TRun refused = RunCli({"brand", book, "--set", "Author=Bob"});
    EXPECT_EQ(refused.Status, 2);
    EXPECT_NE(refused.Err.find("which are one name in code page 1252"), std::string::npos)
        << refused.Err;
    EXPECT_EQ(LoadFileToString(book), before);

    const std::string page = std::to_string(codePage);
    const TRun branded = RunCli({"brand", "--code-page", page, book, "--set", "Author=Bob"});
    EXPECT_EQ(branded.Status, 0) << branded.Err;
    EXPECT_EQ(ContentOf(book, TCodePage(codePage)), [&] {
      FileMap expected = files;
      expected["Variables.xml"] = ContentOf(book, TCodePage(codePage))["Variables.xml"];
      return expected;
    }()) << page;
    EXPECT_EQ(AnsiValue(book, "Author", TCodePage(codePage)), "Bob");
  }
}

// A brand keeps what it is not given: a reference a value holds, and the entries of the
// variables file this code page cannot read (names that are one here), which show names.
TEST_F(CommandLineTest, ABrandKeepsReferencesAndEntriesThisCodePageCannotRead) {
  const std::string book = CopySample("typical.exe");
  const auto variables = [&](std::vector<std::string> options) {
    options.insert(options.begin(), {"show", "--json"});
    options.push_back(book);
    return ShownBook(RunCli(options).Out)["variables"].toObject();
  };
  const QJsonObject stored = variables({"--raw", "--all"});
  ASSERT_EQ(RunCli({"brand", book, "--icon", SamplePath("icons/brand_1.ico")}).Status, 0);
  EXPECT_EQ(variables({"--raw", "--all"}), stored) << "an icon changes no value";
  EXPECT_EQ(RunCli({"brand", "-n", book, "-s", "Company=NewCo"}).Out,
            "would brand " + book + ":\n  Company: \"Quill Press\" -> \"NewCo\"\n");
  ASSERT_EQ(RunCli({"brand", book, "-s", "Company=NewCo"}).Status, 0);
  EXPECT_EQ(variables({"--raw"})["Copyright"], "Copyright 2025 %{Company}. All rights reserved.");
  EXPECT_EQ(variables({})["Copyright"], "Copyright 2025 NewCo. All rights reserved.");

  if (StoredFileOf(book, "Variables.xml").empty())
    GTEST_SKIP() << "cabextract is not installed (scripts/setup installs it)";
  const struct {
    int codePage;
    std::string first, second; // the names, one in code page 1252
    bool otherCodePage;        // which show then suggests
  } pairs[] = {
      {1254, "\xDDl", "\xFDl", true},      // dotted I and dotless i, then l
      {932, "\x83\x41", "\x83\x61", true}, // katakana a and di
      {1251, "\xFF", "\x9F", true},        // ya and dzhe
      {1252, "Title", "TITLE", false},     // one name in every code page
      {1252, "Title", "Title", false},     // the same bytes: read by none, kept all the same
  };
  for (const auto& [codePage, first, second, otherCodePage] : pairs) {
    SCOPED_TRACE(codePage);
    SCOPED_TRACE(second);
    const std::string firstEntry = "<var name=\"" + first + "\">one</var>\r\n";
    const std::string secondEntry = "<var name=\"" + second + "\">two</var>\r\n";
    const std::string shadowedBook =
        AssembleBook({{"System.xml", "<System Variables=\"Variables.xml\"/>"},
                      {"Variables.xml", "<vars>\r\n<var name=\"Author\">Ann</var>\r\n" +
                                            firstEntry + secondEntry + "</vars>\r\n"}});
    const TRun text = RunCli({"show", shadowedBook});
    EXPECT_NE(text.Out.find("Not read (kept in the file):\n  " + TCodePage(1252).AnsiToUtf8(second) +
                            " = two\n    shadowed by \"" + TCodePage(1252).AnsiToUtf8(first) + "\""),
              std::string::npos)
        << text.Out;
    const QJsonArray shadowed =
        ShownBook(RunCli({"show", "-j", shadowedBook}).Out)["shadowed"].toArray();
    ASSERT_EQ(shadowed.size(), 1);
    EXPECT_EQ(shadowed[0].toObject()["name"].toString().toStdString(), TCodePage(1252).AnsiToUtf8(second));
    EXPECT_EQ(shadowed[0].toObject()["shadowedBy"].toString().toStdString(), TCodePage(1252).AnsiToUtf8(first));
    EXPECT_EQ(shadowed[0].toObject()["note"].toString().contains("open it with that one"),
              otherCodePage);

    ASSERT_EQ(RunCli({"brand", shadowedBook, "-s", "Author=Bob"}).Status, 0);
    const std::string written = StoredFileOf(shadowedBook, "Variables.xml");
    EXPECT_NE(written.find(firstEntry), std::string::npos) << written;
    EXPECT_NE(written.find(secondEntry), std::string::npos) << written;
    // Kept, not multiplied: brand after brand each entry is in the file once.
    ASSERT_EQ(RunCli({"brand", shadowedBook, "-s", "Author=Cy"}).Status, 0);
    const std::string again = StoredFileOf(shadowedBook, "Variables.xml");
    const auto count = [&](const std::string& part) {
      size_t n = 0;
      for (size_t at = again.find(part); at != std::string::npos; at = again.find(part, at + 1))
        ++n;
      return n;
    };
    EXPECT_EQ(count("name=\"Author\""), 1u) << again;
    EXPECT_EQ(count(secondEntry), 1u) << again;
    const QJsonObject ownReading = ShownBook(
        RunCli({"show", "-j", "--code-page", std::to_string(codePage), shadowedBook}).Out);
    EXPECT_EQ(ownReading["variables"].toObject().size(), otherCodePage ? 3 : 2);
  }
}

// Each entry is read and written in its own code page: each book holds two names that are one
// in the other code pages, and takes a value only its own can hold.
TEST_F(CommandLineTest, AManifestGivesEachBookItsCodePage) {
  const auto bookIn = [&](int codePage, const std::string& a, const std::string& b) {
    return AssembleBookIn(codePage, {{"System.xml", "<System Variables=\"Variables.xml\"/>"},
                                     {"Variables.xml", "<vars><var name=\"Author\">A</var></vars>"},
                                     {a, "1"},
                                     {b, "2"}});
  };
  const std::string cyrillic = bookIn(1251, "\xFF.html", "\x9F.html"); // ya, dzhe
  const std::string turkish = bookIn(1254, "\xDD.html", "\xFD.html");  // dotted I, dotless i
  const std::string manifest = (Folder() / "books.csv").string();
  SaveStringToFile("book,codePage,Author\n" + cyrillic + ",1251,\xD0\x90\xD0\xBD\xD1\x8F\n" +
                       turkish + ",1254,\xC4\xB0pek\n",
                   manifest);
  const TRun run = RunCli({"brand", "--json", "--manifest", manifest});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("\"codePage\": 1251"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("\"codePage\": 1254"), std::string::npos) << run.Out;
  EXPECT_EQ(AnsiValue(cyrillic, "Author", TCodePage(1251)), "\xC0\xED\xFF");
  EXPECT_EQ(AnsiValue(turkish, "Author", TCodePage(1254)), "\xDDpek");

  SaveStringToFile("{\"book\": \"" + cyrillic + "\", \"codePage\": 65001}\n", manifest);
  const TRun refused = RunCli({"brand", "--manifest", manifest});
  EXPECT_EQ(refused.Status, 2);
  EXPECT_NE(refused.Err.find(":1: " + cyrillic + ": codePage takes one of 874, 932"), std::string::npos)
      << refused.Err;
}

TEST_F(CommandLineTest, TheSameBookAndValuesGiveTheSameBytesUnderEveryLocale) {
  setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  const std::string original = AssembleBookIn(
      1252,
      {{"System.xml", "<System Variables=\"Variables.xml\" ApplicationTitle=\"%{\xC5lder}\"/>"},
       {"Variables.xml", "<vars><var name=\"\xC5lder\">1</var></vars>"},
       {"hrad.txt", "h"},
       {"chata.txt", "c"},
       {"z.txt", "z"},
       {"\xE5.txt", "a"}});
  std::string expected;
  for (const char* locale : {"C", "cs_CZ.UTF-8", "sv_SE.UTF-8", "tr_TR.UTF-8"}) {
    const TLocale user(locale);
    const std::string book = (Folder() / (std::string(locale) + ".exe")).string();
    fs::copy_file(original, book);
    const TRun run = RunCli({"brand", "--code-page", "1252", book, "--set", "\xC3\x85lder=30"});
    ASSERT_EQ(run.Status, 0) << locale << ": " << run.Err;
    if (expected.empty())
      expected = LoadFileToString(book);
    EXPECT_EQ(LoadFileToString(book), expected) << locale;
  }
  unsetenv("SOURCE_DATE_EPOCH");
}

TEST_F(CommandLineTest, BookFileNamesAreBytesUnderADoubleByteLocale) {
  const TLocale user("ja_JP.UTF-8");
  // Cyrillic, Korean, an emoji and a character no East Asian code page holds.
  const std::string original = CopySample("typical.exe");
  const std::string bystander = (Folder() / "x?a.exe").string();
  fs::copy_file(original, bystander);
  for (const char* name :
       {"\xD0\x9A\xD0\xBD\xD0\xB8\xD0\xB3\xD0\xB0.exe", "\xEC\xB1\x85.exe", "\xF0\x9F\x98\x80.exe",
        "x\xED\x80\x81"
        "a.exe"}) {
    const std::string book = (Folder() / name).string();
    fs::copy_file(original, book);
    const TRun run = RunCli({"brand", book, "--set", "Author=Ann"});
    EXPECT_EQ(run.Status, 0) << name << ": " << run.Err;
    EXPECT_EQ(AnsiValue(book, "Author"), "Ann") << name;
  }
  EXPECT_EQ(LoadFileToString(bystander), LoadFileToString(original));
}

TEST_F(CommandLineTest, ValuesNamingOneVariableTwiceOrTextTheCodePageCannotHold) {
  const std::string book = CopySample("typical.exe");
  const std::string before = LoadFileToString(book);
  const std::string values = (Folder() / "values.json").string();
  SaveStringToFile(R"({"author": "a", "Author": "b"})", values);
  const struct {
    std::vector<std::string> arguments;
    int status;
    const char* error;
  } refusals[] = {
      {{"--values", values}, 2, "\"Author\" and \"author\" name one variable; give it once"},
      {{"--set", "title=a", "--set", "TITLE=b"}, 2, "\"title\" and \"TITLE\" name one variable"},
      {{"--set", "Author=\xC5\x81ukasz"},
       2,
       "the value of \"Author\" holds U+0141 LATIN CAPITAL LETTER L WITH STROKE, which code page "
       "1252 cannot hold; "
       "give the book's code page with --code-page"},
      {{"--code-page", "65001"}, 2, "--code-page takes one of 874, 932, 936"},
  };
  for (const auto& c : refusals) {
    std::vector<std::string> arguments = {"brand", book};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const TRun run = RunCli(arguments);
    EXPECT_EQ(run.Status, c.status) << run.Err;
    EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
    EXPECT_EQ(LoadFileToString(book), before);
  }
  const TRun twice = RunCli({"brand", book, "--set", "Author=a", "--set", "Author=b"});
  EXPECT_EQ(twice.Out, "branded " + book + ": 1 value set, icon kept\n");
  EXPECT_EQ(AnsiValue(book, "Author"), "b");
  const TRun polish =
      RunCli({"brand", "--code-page", "1250", book, "--set", "Author=\xC5\x81ukasz"});
  EXPECT_EQ(polish.Status, 0) << polish.Err;
  EXPECT_EQ(AnsiValue(book, "Author"), "\xA3ukasz");
}

TEST_F(CommandLineTest, AManifestBrandsEachBookWithItsOwnValuesIconAndOutput) {
  const std::string icon = SamplePath("icons/brand_1.ico");
  const struct {
    const char* format;
    std::string manifest; // @A and @B stand for the books, @ICON for the icon
    bool fromInput;
  } cases[] = {
      {"JSON Lines",
       "{\"book\": \"@A\", \"set\": {\"Author\": \"Ann\"}}\n\n"
       "{\"book\": \"@B\", \"icon\": \"@ICON\", \"output\": \"@B.out\", \"set\": {\"Company\": "
       "\"Co\"}}\n"
       "{\"set\": {\"Author\": \"Ann\"}, \"book\": \"@A\"}\n",
       false},
      // An empty cell gives no value: B keeps the --set's Author. A quoted cell keeps its
      // commas, doubled quotes and line breaks.
      {"CSV",
       "\xef\xbb\xbf"
       "book,icon,output,Author,Company\r\n@A,,,Ann,\r\n"
       "@B,@ICON,@B.out,,Co\r\n@A,,,Ann,\r\n",
       true},
      {"CSV with quotes",
       "book,icon,output,Author,Company\n\"@A\",,,\"Ann \"\"A\"\",\nAnd\",\n@B,@ICON,@B.out,,Co\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const std::string a = (Folder() / "a.exe").string();
    const std::string b = (Folder() / "b.exe").string();
    fs::copy_file(SamplePath("typical.exe"), a, fs::copy_options::overwrite_existing);
    fs::copy_file(SamplePath("typical.exe"), b, fs::copy_options::overwrite_existing);
    fs::remove(b + ".out");
    const std::string original = LoadFileToString(a);
    std::string text = c.manifest;
    for (const auto& [mark, path] :
         {std::pair{"@ICON", icon}, {"@B.out", b + ".out"}, {"@A", a}, {"@B", b}})
      for (size_t at; (at = text.find(mark)) != std::string::npos;)
        text.replace(at, std::string(mark).size(), path);
    const std::string manifest = (Folder() / "manifest").string();
    SaveStringToFile(text, manifest);
    const std::vector<std::string> options = {"-s", "Author=Default", "-s", "Email=e@x.org"};
    const auto brand = [&](std::vector<std::string> arguments) {
      arguments.insert(arguments.end(), options.begin(), options.end());
      if (!c.fromInput)
        return RunCli(arguments);
      std::istringstream in(text);
      std::ostringstream out, err;
      std::replace(arguments.begin(), arguments.end(), manifest, std::string("-"));
      const int status =
          RunCommandLine(arguments, {in, out, err, false, false}, TCodePage::ForLocale());
      return TRun{status, out.str(), err.str()};
    };

    EXPECT_EQ(brand({"brand", "--check", "--manifest", manifest}).Status, 1) << "not done yet";
    const TRun dry = brand({"brand", "-n", "--manifest", manifest});
    ASSERT_EQ(dry.Status, 0) << dry.Err;
    EXPECT_EQ(dry.Out.find("would brand " + a + ":\n  Author: \"Mara Quill\" -> \""), 0u)
        << dry.Out;
    EXPECT_NE(dry.Out.find("would brand " + b +
                           ":\n  Author: \"Mara Quill\" -> \"Default\"\n"
                           "  Company: \"Quill Press\" -> \"Co\"\n"),
              std::string::npos)
        << dry.Out;
    EXPECT_EQ(LoadFileToString(a), original);
    EXPECT_FALSE(fs::exists(b + ".out"));

    const TRun run = brand({"brand", "--manifest", manifest});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, "branded " + a + ": 2 values set, icon kept\nbranded " + b + " -> " + b +
                           ".out: 3 values set, icon replaced\n2 branded, 0 unchanged, 0 failed, 0 not reached\n")
        << "the entry asking again for the same is branded once";
    const bool quoted = std::string(c.format) == "CSV with quotes";
    EXPECT_EQ(AnsiValue(a, "Author"), quoted ? "Ann \"A\",\nAnd" : "Ann");
    EXPECT_EQ(AnsiValue(a, "Email"), "e@x.org");
    EXPECT_EQ(AnsiValue(a, "Company"), "Quill Press") << "an empty cell keeps the value";
    EXPECT_EQ(LoadFileToString(b), original);
    EXPECT_EQ(AnsiValue(b + ".out", "Author"), "Default");
    EXPECT_EQ(AnsiValue(b + ".out", "Company"), "Co");
    EXPECT_EQ(IconGroupSizes(b + ".out"), IconSizes(LoadFileToString(icon)));

    // Done, the check says so, and the same manifest again writes nothing.
    const TRun check = brand({"brand", "--check", "--manifest", manifest});
    EXPECT_EQ(check.Status, 0) << check.Out;
    const std::string branded = LoadFileToString(a), copy = LoadFileToString(b + ".out");
    const auto written = fs::last_write_time(b + ".out");
    const TRun again = brand({"brand", "--manifest", manifest});
    EXPECT_EQ(again.Out, "unchanged " + a + ": it holds what was asked already\nunchanged " + b +
                             " -> " + b + ".out: it holds what was asked already\n" +
                             "0 branded, 2 unchanged, 0 failed, 0 not reached\n");
    EXPECT_EQ(LoadFileToString(a), branded);
    EXPECT_EQ(LoadFileToString(b + ".out"), copy);
    EXPECT_EQ(fs::last_write_time(b + ".out"), written);
  }
}

// Books are branded a few at once: their scratch and new files, all in one folder, must not
// take each other's names, a copy made after its book is branded must have the brand's values,
// and the lines still come in the manifest's order.
TEST_F(CommandLineTest, ManyBooksOfOneFolderEachGetTheirOwnValues) {
  std::string manifest, expected;
  for (int i = 0; i < 30; ++i) {
    const std::string book = (Folder() / ("book" + std::to_string(i) + ".exe")).string();
    fs::copy_file(SamplePath("typical.exe"), book);
    manifest += "{\"book\": \"" + book + "\", \"set\": {\"Author\": \"" + std::to_string(i) +
                "\"}}\n{\"book\": \"" + book + "\", \"output\": \"" + book + ".copy\"}\n";
    expected += "branded " + book + ": 1 value set, icon kept\nbranded " + book + " -> " + book +
                ".copy: 0 values set, icon kept\n";
  }
  SaveStringToFile(manifest, (Folder() / "books.jsonl").string());
  const TRun run = RunCli({"brand", "--manifest", (Folder() / "books.jsonl").string()});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, expected + "60 branded, 0 unchanged, 0 failed, 0 not reached\n");
  for (int i = 0; i < 30; ++i) {
    const std::string book = (Folder() / ("book" + std::to_string(i) + ".exe")).string();
    EXPECT_EQ(AnsiValue(book, "Author"), std::to_string(i));
    EXPECT_EQ(AnsiValue(book + ".copy", "Author"), std::to_string(i));
  }
}

// show --template writes a manifest of the stored values that, branded untouched, changes
// nothing: every value read back as stored, whatever it holds and whatever its name.
TEST_F(CommandLineTest, AManifestTemplateHoldsTheStoredValuesAndBrandsNothing) {
  const std::string odd = AssembleBook(
      {{"System.xml", "<System Variables=\"Variables.xml\"/>"},
       {"Variables.xml", "<vars><var name=\"book\">a, \"b\"\r\nc\xe9</var>"
                         "<var name=\"Output\">%{book}</var><var name=\"var:x\">\"</var>"
                         "<var name=\"author\">Ann</var><var name=\"Key\">$k</var></vars>"}});
  const std::string typical = CopySample("typical.exe");
  for (const char* format : {"csv", "jsonl"}) {
    SCOPED_TRACE(format);
    const TRun shown = RunCli({"show", "--template", format, odd, typical});
    ASSERT_EQ(shown.Status, 0) << shown.Err;
    if (std::string(format) == "csv") {
      EXPECT_EQ(shown.Out.substr(0, shown.Out.find('\n')),
                "book,icon,output,codePage,author,var:book,var:Output,var:var:x,Author,"
                "Company,Copyright,Discount,Email,Title,Website")
          << "the reserved names marked";
    }
    const std::string manifest = (Folder() / (std::string("template.") + format)).string();
    SaveStringToFile(shown.Out, manifest);
    std::vector<TManifestEntry> entries = ParseManifest(shown.Out);
    ASSERT_EQ(entries.size(), 2u);
    for (const TManifestEntry& entry : entries) {
      QJsonObject values;
      for (const auto& [name, value] : entry.Values)
        values.insert(QString::fromStdString(name), QString::fromStdString(value));
      EXPECT_EQ(values,
                ShownBook(RunCli({"show", "--raw", "-j", entry.Book}).Out)["variables"].toObject());
      EXPECT_TRUE(entry.Icon.empty() && entry.Output.empty()) << entry.Book;
    }
    const std::vector<QJsonObject> lines =
        JsonLinesOf(RunCli({"brand", "--json-lines", "--manifest", manifest}).Out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2]["unchanged"].toInt(), 2) << lines[0]["error"].toString().toStdString();
  }
  EXPECT_EQ(RunCli({"show", "--template", "xml", odd}).Status, 2);
  EXPECT_EQ(RunCli({"show", "--names", odd}).Out, "author\nbook\nOutput\nvar:x\n");
}

TEST_F(CommandLineTest, AManifestLineThatIsNotValidIsNamedAndNothingIsWritten) {
  const std::string a = CopySample("typical.exe");
  const std::string b = CopySample("icons4.exe");
  const std::string original = LoadFileToString(a);
  const std::string badIcon = SamplePath("icons/corrupt_cursor_type.ico");
  const std::string manifest = (Folder() / "m").string();
  // Each manifest's first entry is valid, so a refusal found late would already have written.
  const std::string first = "{\"book\": \"" + a + "\", \"set\": {\"Author\": \"Ann\"}}\n";
  const std::string header = "book,output,Author\n" + a + ",,Ann\n";
  const auto at = [&](int line, const std::string& error) {
    return manifest + ":" + std::to_string(line) + ": " + error;
  };
  const struct {
    std::string manifest;
    std::string error; // after "folioset-cli: "
  } cases[] = {
      {first + "[1]\n", at(2, "expected a JSON object")},
      {first + "\n{\"book\": \"" + b + "\",\n", at(3, "not valid JSON at offset")},
      {first + "{\"book\": \"" + b + "\", \"sett\": {}}\n", at(2, "unknown member \"sett\"")},
      {first + "{\"set\": {}}\n", at(2, "no book is named")},
      {first + "{\"book\": \"" + b + "\", \"set\": {\"Author\": 1}}\n",
       at(2, "the value of \"Author\" is not text")},
      {first + "{\"book\": \"" + b + "\", \"set\": {\"Author\": \"\xce\xa9\"}}\n",
       at(2, b + ": the value of \"Author\" holds U+03A9")},
      {first + "{\"book\": \"" + b + "\", \"icon\": \"" + badIcon + "\"}\n",
       at(2, b + ": " + badIcon + ": Icon image is not valid")},
      {first + "{\"book\": \"" + b + ".none\"}\n", at(2, b + ".none: No such file")},
      {first + "{\"book\": \"" + a + "\", \"set\": {\"Author\": \"Bo\"}}\n",
       at(2, a + ": line 1 brands this book in place too")},
      {first + "{\"book\": \"" + b + "\", \"signCert\": \"c.pem\"}\n",
       at(2, b + ": --sign-cert and --sign-key go together")},
      {header + b + ",,Bo,x\n", at(3, "4 cells where the header has 3")},
      {header + b + ",,\"Bo\n", at(3, "a quoted cell is not closed")},
      {header + b + ",,B\"o\n", at(3, "a quote inside a cell")},
      {header + b + ",,\"Bo\"x\n", at(3, "text after a cell's closing quote")},
      {header + b + ",,B\ro\n", at(3, "a carriage return without a line feed")},
      {header + b + ",,\xff\n", at(3, "the value of \"Author\" is not valid UTF-8")},
      {"output,Author\n" + a + ",Ann\n", at(1, "the header has no \"book\" column")},
      {"book,Output,output\n", at(1, "the header names \"output\" twice")},
      {"book,var:\n", at(1, "a column of the header has no name")},
      {"book,var:Author,Author\n", at(1, "the header names \"Author\" twice")},
      {header + b + "," + a + ",\n", at(3, b + ": " + a + " would overwrite the book " + a)},
  };
  for (const auto& c : cases) {
    SaveStringToFile(c.manifest, manifest);
    const TRun run = RunCli({"brand", "--manifest", manifest});
    EXPECT_EQ(run.Status, 2) << c.error;
    EXPECT_EQ(run.Err.find("folioset-cli: " + c.error), 0u) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << "one line: " << run.Err;
    EXPECT_EQ(LoadFileToString(a), original);
  }
  for (const std::vector<std::string>& misuse :
       {std::vector<std::string>{"--manifest", manifest, a},
        {"--manifest", "-", "--values", "-"},
        {"--manifest", manifest, "--output", a},
        {"--manifest", manifest, "--manifest", manifest}}) {
    std::vector<std::string> arguments = {"brand"};
    arguments.insert(arguments.end(), misuse.begin(), misuse.end());
    EXPECT_EQ(RunCli(arguments).Status, 2) << misuse.back();
  }
  EXPECT_EQ(LoadFileToString(a), original);
  EXPECT_TRUE(TempFolderIsEmpty());

  // Every refusal at once, in the manifest's order; with --keep-going the other books are
  // branded all the same.
  const std::string c = CopySample("rsrc_not_last.exe");
  SaveStringToFile("book,icon,Author,Colour\n" + a + "," + badIcon + ",Ann,\n" + b +
                       ".none,,Ann,\n" + b + ",,Ann,red\n" + b + ",,Bo,\n" + c + ",,Cy,\n",
                   manifest);
  const std::string refusals =
      "folioset-cli: " + at(2, a + ": " + badIcon + ": Icon image is not valid\n") +
      "folioset-cli: " + at(3, b + ".none: No such file or directory\n") + "folioset-cli: " +
      at(4, b + ": \"Colour\" is not a brandable variable\n") + "folioset-cli: " +
      at(5, b + ": line 4 brands this book in place too, asking for something else; give it "
                "once\n");
  for (const char* mode : {"--check", "--dry-run", "--quiet"}) {
    const TRun run = RunCli({"brand", mode, "--manifest", manifest});
    EXPECT_EQ(run.Status, 2) << mode;
    EXPECT_EQ(run.Err, refusals) << mode;
  }
  EXPECT_EQ(AnsiValue(c, "Author"), "Mara Quill");
  const TRun keepGoing = RunCli({"brand", "--keep-going", "--manifest", manifest});
  EXPECT_EQ(keepGoing.Status, 1);
  EXPECT_EQ(keepGoing.Err, refusals);
  EXPECT_EQ(keepGoing.Out, "branded " + c +
                               ": 1 value set, icon kept\n1 branded, 0 unchanged, 4 failed, 0 not "
                               "reached\n");
  EXPECT_EQ(AnsiValue(c, "Author"), "Cy");
  EXPECT_EQ(LoadFileToString(a), original);
}

// Each write of the buffer is one packet of a SEQPACKET socket, so the packets show exactly
// what reached the file in one write.
TEST(WholeLineBufferTest, EachWriteIsWholeLines) {
  const struct {
    std::vector<std::string> insertions; // "<flush>" flushes
    std::vector<std::string> writes;
  } cases[] = {
      {{"branded ", "a.exe", ": 1 value set\n"}, {"branded a.exe: 1 value set\n"}},
      {{"{\n  \"books\": []\n}\n"}, {"{\n  \"books\": []\n}\n"}},
      {{"one\ntw", "o\n"}, {"one\n", "two\n"}},
      {{"\r50%", "<flush>", "\r\n"}, {"\r50%", "\r\n"}},
      {{"no break"}, {"no break"}}, // written when the buffer goes
  };
  for (const auto& c : cases) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    {
      TWholeLineBuffer buffer(ends[0]);
      std::ostream stream(&buffer);
      for (const std::string& text : c.insertions)
        if (text == "<flush>")
          stream.flush();
        else
          stream << text;
    }
    ::close(ends[0]);
    std::vector<std::string> writes;
    char packet[4096];
    for (ssize_t n; (n = ::recv(ends[1], packet, sizeof packet, 0)) > 0;)
      writes.emplace_back(packet, size_t(n));
    ::close(ends[1]);
    EXPECT_EQ(writes, c.writes) << c.insertions[0];
  }
}

TEST(ProgressLineTest, APathTooLongForTheTerminalIsShortenedInItsMiddle) {
  const struct {
    std::string text;
    int columns;
    std::string shortened;
  } cases[] = {
      {"books/a.exe", 11, "books/a.exe"},
      {"books/a.exe", 7,
       "boo\xE2\x80\xA6"
       "exe"},
      {"books/a.exe", 8,
       "book\xE2\x80\xA6"
       "exe"},
      {"books/a.exe", 1, "\xE2\x80\xA6"},
      // Wide characters take two columns and are never split; a combining mark takes none.
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.exe", 7,
       "\xE6\x97\xA5\xE2\x80\xA6"
       "exe"},
      {"e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81",
       4,
       "e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81"},
      // A byte that is not UTF-8 is one column, as the terminal's replacement shows it.
      {"\xFF\xFF"
       "abc",
       4,
       "\xFF\xFF\xE2\x80\xA6"
       "c"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShortenedInMiddle(c.text, c.columns), c.shortened) << c.text << " in " << c.columns;
    EXPECT_LE(TextColumns(ShortenedInMiddle(c.text, c.columns)), c.columns) << c.text;
  }
}

// Every line drawn stays within the terminal's width, and a dumb terminal gets no escape.
TEST(ProgressLineTest, FitsTheTerminalAndSendsADumbOneNoEscape) {
  const std::string book = "/srv/books/" + std::string(100, 'x') + "/the-garden-handbook.exe";
  for (const bool dumb : {false, true}) {
    std::ostringstream err;
    {
      TProgressLine line(err, true, 40, dumb);
      line.SetBook(book, 7, 400);
      line.Show(esUnpack, 5);
      line.Show(esRewrite, 100);
      line.SetBook("b.exe", 8, 400);
      line.Show(esUnpack, 5);
    }
    const std::string drawn = err.str();
    EXPECT_EQ(drawn.find('\033') == std::string::npos, dumb) << drawn;
    std::string text = drawn;
    for (size_t at; (at = text.find("\033[K")) != std::string::npos;)
      text.erase(at, 3);
    std::istringstream lines(text);
    int count = 0;
    for (std::string segment; std::getline(lines, segment, '\r'); ++count)
      EXPECT_LE(TextColumns(segment), 39) << segment;
    EXPECT_NE(text.find("[7/400] /srv/boo\xE2\x80\xA6"
                        "book.exe: unpack 5%"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\xE2\x80\xA6"
                        "book.exe: rewrite 100%"),
              std::string::npos)
        << text;
    // The shorter line after a longer one leaves nothing of it behind.
    EXPECT_NE(text.find("[8/400] b.exe: unpack 5%" + (dumb ? std::string(14, ' ') : "")),
              std::string::npos)
        << text;
    EXPECT_EQ(text.back(), '\r') << "the line is taken away";
    EXPECT_GT(count, 3);
  }
}

// Three books branded at once, reporting in turn: the line names the first book not finished,
// its number rising once a book, and the batch's bytes rise with the reports up to its total.
TEST(ProgressLineTest, ABatchOfBooksAtOnceCountsUpOnce) {
  std::ostringstream err;
  TProgressLine line(err, true, 200);
  constexpr uint64_t Size = 17200000;
  TBatchProgress batch(line, {"a.exe", "b.exe", "c.exe"}, {Size, Size, Size});
  for (int step = esRead; step <= esRewrite; ++step)
    for (int percent = 0; percent <= 100; percent += 25)
      for (size_t i = 0; i < 3; ++i)
        batch.Show(i, TEBookStep(step), percent);
  for (size_t i = 0; i < 3; ++i) {
    batch.Finish(i);
    if (i < 2)
      batch.Show(i + 1, esRewrite, 100);
  }
  const std::regex counter(R"(\[(\d)/3, ([0-9.]+) of 51\.6 MB\] (.)\.exe)");
  std::vector<std::pair<int, double>> drawn; // book number and megabytes done
  const std::string text = err.str();
  for (auto at = std::sregex_iterator(text.begin(), text.end(), counter);
       at != std::sregex_iterator(); ++at) {
    drawn.emplace_back(std::stoi((*at)[1]), std::stod((*at)[2]));
    EXPECT_EQ((*at)[3], std::string(1, char('a' + drawn.back().first - 1))) << "the first";
  }
  ASSERT_GT(drawn.size(), 40u) << text;
  int switches = 0;
  for (size_t i = 1; i < drawn.size(); ++i) {
    EXPECT_GE(drawn[i].first, drawn[i - 1].first);
    EXPECT_GE(drawn[i].second, drawn[i - 1].second);
    switches += drawn[i].first != drawn[i - 1].first;
  }
  EXPECT_EQ(switches, 2);
  EXPECT_LT(drawn.front().second, 1.0);
  EXPECT_EQ(drawn.back(), std::make_pair(3, 51.6));
}
