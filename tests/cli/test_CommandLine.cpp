#include "cli/u_CommandLine.h"
#include "common/u_AnsiText.h"
#include "common/u_Files.h"
#include "ebook_fixture.h"
#include "resources/u_IconSizes.h"
#include "resources/vexRes.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

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
} // namespace

class CommandLineTest : public EBookFixture {};

TEST_F(CommandLineTest, ShowPrintsTheGridAsTextAndJson) {
  const std::string book = CopySample("typical.exe");
  const TRun text = RunCli({"show", book});
  ASSERT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(text.Out,
            "File:  " + book +
                "\nTitle: The Garden Handbook by Mara Quill\nIcon:  32x32 (8 bpp)\n"
                "Variables:\n  Author = Mara Quill\n  Company = Quill Press\n"
                "  Copyright = Copyright 2025 Quill Press. All rights reserved.\n"
                "  Discount =  $5 off with code GARDEN\n  Email = books@example.org\n"
                "  Title = The Garden Handbook\n  Website = https://example.org/garden\n");

  const TRun json = RunCli({"show", "--json", CopySample("icons4.exe")});
  ASSERT_EQ(json.Status, 0) << json.Err;
  EXPECT_NE(json.Out.find("\"title\": \"The Garden Handbook by Mara Quill\""), std::string::npos);
  EXPECT_NE(json.Out.find("\"width\": 256"), std::string::npos);
  EXPECT_LT(json.Out.find("\"name\": \"Author\""), json.Out.find("\"name\": \"Website\""))
      << "variables keep the grid's order";
  EXPECT_EQ(json.Out.find("BuildId"), std::string::npos) << "hidden variables are not shown";
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
      {{"brand", book, "--icon", SamplePath("icons/corrupt_cursor_type.ico")},
       "Icon image is not valid"},
  };
  for (const auto& c : cases) {
    const TRun run = RunCli(c.arguments);
    EXPECT_EQ(run.Status, 1) << c.error;
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
  const TRun run = RunCli({"brand", book, "--set", "Company=Other Press", "--output", copy});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(LoadFileToString(book), original);
  EXPECT_EQ(AnsiValue(copy, "Company"), "Other Press");
  EXPECT_EQ(fs::status(copy).permissions(), fs::status(book).permissions());

  const TRun refused = RunCli({"brand", book, "--set", "Nope=1", "--output", copy + ".2"});
  EXPECT_EQ(refused.Status, 1);
  EXPECT_FALSE(fs::exists(copy + ".2"));
  for (const auto& entry : fs::directory_iterator(Folder()))
    EXPECT_EQ(entry.path().filename().string().find("partial"), std::string::npos);
}

TEST_F(CommandLineTest, SeveralBooksGetASummaryAndFailuresDoNotStopTheOthers) {
  const std::string first = CopySample("typical.exe");
  const std::string broken = CopySample("cycle.exe");
  const std::string second = CopySample("icons4.exe");
  const TRun run = RunCli({"brand", first, broken, second, "--set", "Author=Ann"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_NE(run.Out.find("branded " + first + ": 1 value set, icon kept\n"), std::string::npos);
  EXPECT_NE(run.Out.find("branded " + second), std::string::npos);
  EXPECT_NE(run.Out.find("2 branded, 1 failed"), std::string::npos);
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
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"brand"};
    arguments.insert(arguments.end(), c.books.begin(), c.books.end());
    for (const char* option : {"--set", "Author=Ann", "--output"})
      arguments.push_back(option);
    arguments.push_back(c.output);
    const TRun run = RunCli(arguments);
    EXPECT_EQ(run.Status, 1) << c.output;
    EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
    EXPECT_EQ(LoadFileToString(a), original) << c.output;
    EXPECT_TRUE(fs::is_empty(Folder() / "out")) << c.output;
  }
  const TRun intoFolder =
      RunCli({"brand", a, "--set", "Author=Ann", "--output", (Folder() / "out").string()});
  ASSERT_EQ(intoFolder.Status, 0) << intoFolder.Err;
  EXPECT_EQ(AnsiValue((Folder() / "out" / "book.exe").string(), "Author"), "Ann");
  EXPECT_EQ(LoadFileToString(a), original);
}

TEST_F(CommandLineTest, AStopSignalLeavesEachBookAsItWasOrFinished) {
  const struct {
    int signal;
    int status;
  } cases[] = {{SIGINT, 130}, {SIGTERM, 143}};
  for (const auto& c : cases) {
    const std::string first = CopySample("typical.exe");
    const std::string second = CopySample("icons4.exe");
    const std::string untouched = LoadFileToString(second);
    // The signal arrives while the first book is being written.
    SetCommitStepHook([&c](TCommitStep step) {
      if (step == csSectionBuilt)
        std::raise(c.signal);
    });
    const TRun run = RunCli({"brand", first, second, "--set", "Author=Ann"});
    SetCommitStepHook(nullptr);
    EXPECT_EQ(run.Status, c.status) << run.Err;
    EXPECT_EQ(AnsiValue(first, "Author"), "Ann") << "finished";
    EXPECT_EQ(LoadFileToString(second), untouched) << "as it was";
    EXPECT_TRUE(TempFolderIsEmpty());
  }
}

TEST_F(CommandLineTest, UsageAndHelp) {
  EXPECT_EQ(RunCli({}).Status, 2);
  EXPECT_EQ(RunCli({"frobnicate"}).Status, 2);
  EXPECT_EQ(RunCli({"show"}).Status, 2);
  EXPECT_EQ(RunCli({"brand", "--set"}).Status, 2);
  for (const char* command : {"show", "brand", "extract"}) {
    const TRun help = RunCli({command, "--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.find(std::string("Usage: folioset-cli ") + command), 0u) << help.Out;
  }
}

TEST_F(CommandLineTest, ABookWithoutIconShowsNoneAndStillBrands) {
  const std::string book = CopySample("typical.exe");
  TResUpdateContext* update = BeginResourceUpdate(AnsiToUtf16(book), false);
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
}
