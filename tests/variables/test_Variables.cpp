#include "variables/u_Variables.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string ErrorOf(const std::string& text) {
  try {
    TVariables variables(text, false, TCodePage(1252));
  } catch (const Exception& e) {
    return e.Message();
  }
  return "no error";
}

std::string FileOf(const TVariableEntries& entries) {
  return VariablesFileText(entries);
}

std::string Numbered(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "v%06d", i);
  return name;
}

} // namespace

TEST(Variables, EmptyTextRootOnlyAndEmptyStreamGiveEmptyStores) {
  EXPECT_TRUE(TVariables("", false, TCodePage(1252)).Names().empty());
  EXPECT_TRUE(TVariables("<vars>\r\n</vars>\r\n", false, TCodePage(1252)).Names().empty());
  TStringStream empty;
  EXPECT_TRUE(TVariables(empty, false, TCodePage(1252)).Names().empty());
}

TEST(Variables, OnlyNamedDirectChildrenOfAnyElementNameAreRead) {
  TVariables variables("<r><item NAME=\"a\">1</item><x><var name=\"b\">2</var></x>"
                       "<v>nameless</v><v name=\"\">empty</v><v name=7>seven</v></r>",
                       false, TCodePage(1252));
  EXPECT_EQ(variables.Names(), (TStringList{"7", "a"}));
  EXPECT_EQ(variables.Values("A"), "1");
  EXPECT_EQ(variables.Values("7"), "seven");
}

TEST(Variables, FirstEntryOfANameWinsWithItsSpelling) {
  TVariables variables(FileOf({{"Key", "first"}, {"KEY", "second"}, {"key", "third"}}), false,
                       TCodePage(1252));
  EXPECT_EQ(variables.Names(), TStringList{"Key"});
  EXPECT_EQ(variables.Values("kEY"), "first");
}

TEST(Variables, NamesInCaseInsensitiveOrder) {
  TVariables variables(FileOf({{"b", "1"}, {"C", "2"}, {"a", "3"}}), false, TCodePage(1252));
  EXPECT_EQ(variables.Names(), (TStringList{"a", "b", "C"}));
}

TEST(Variables, ChainsResolveWhateverTheSortedOrder) {
  TVariables variables(FileOf({{"a", "x%{b}"}, {"b", "%{c}y"}, {"c", "z"}}), false,
                       TCodePage(1252));
  EXPECT_EQ(variables.Values("a"), "xzy");
  EXPECT_EQ(variables.Values("b"), "zy");
  EXPECT_EQ(variables.Values("c"), "z");
  TVariables backwards(FileOf({{"c", "x%{b}"}, {"b", "%{a}y"}, {"a", "z"}}), false,
                       TCodePage(1252));
  EXPECT_EQ(backwards.Values("c"), "xzy");
}

TEST(Variables, ReferenceScanRules) {
  TVariables variables(FileOf({{"b", "B"},
                               {"other case", "%{B}"},
                               {"unknown", "%{nobody} %{} %{open"},
                               {"doubled percent", "%%{b}"},
                               {"percent and letter", "%x%{b}"},
                               {"brace in name", "%{a{b}"},
                               {"a", "%"},
                               {"not rescanned", "%{a}{b}"},
                               {"inserted then more", "%{a}%{b}"}}),
                       false, TCodePage(1252));
  EXPECT_EQ(variables.Values("other case"), "B");
  EXPECT_EQ(variables.Values("unknown"), "%{nobody} %{} %{open");
  EXPECT_EQ(variables.Values("doubled percent"), "%%{b}");
  EXPECT_EQ(variables.Values("percent and letter"), "%xB");
  EXPECT_EQ(variables.Values("brace in name"), "%{a{b}");
  EXPECT_EQ(variables.Values("not rescanned"), "%{b}");
  EXPECT_EQ(variables.Values("inserted then more"), "%B");
}

TEST(Variables, StripMarkerDropsExactlyOneDollar) {
  const std::string file = FileOf({{"m", "$$x"}, {"plain", " $y"}});
  EXPECT_EQ(TVariables(file, false, TCodePage(1252)).Values("m"), "$$x");
  TVariables stripped(file, true, TCodePage(1252));
  EXPECT_EQ(stripped.Values("m"), "$x");
  EXPECT_EQ(stripped.Values("plain"), " $y");
}

TEST(Variables, CyclesNameTheVariableWhereTheyClose) {
  EXPECT_EQ(ErrorOf(FileOf({{"a", "%{b}"}, {"b", "%{a}"}})),
            "Cycling reference encountered during loading variable \"a\"");
  EXPECT_EQ(ErrorOf(FileOf({{"self", "x%{SELF}"}})),
            "Cycling reference encountered during loading variable \"SELF\"");
  EXPECT_EQ(ErrorOf(FileOf({{"ok", "%{b}"}, {"b", "%{c}"}, {"c", "%{b}"}})),
            "Cycling reference encountered during loading variable \"b\"");
  // A cycle hidden by a doubled percent sign is no cycle.
  EXPECT_EQ(ErrorOf(FileOf({{"a", "%%{a}"}})), "no error");
}

TEST(Variables, XmlErrorsPassThrough) {
  EXPECT_EQ(ErrorOf("<vars><var name=\"a\">x<y</var></vars>"), "Error in XML");
  EXPECT_EQ(ErrorOf("<vars>\r\n</var>"), "vars expected on line 2");
}

TEST(Variables, UnknownNameFailsWithTheDictionaryError) {
  TVariables variables(FileOf({{"a", "1"}}), false, TCodePage(1252));
  try {
    variables.Values("b");
    FAIL();
  } catch (const EDictionaryError& e) {
    EXPECT_EQ(e.Message(), "TDictionary.Get_Item - element \"b\" not found in collection");
  }
}

TEST(Variables, ExpandTextReplacesKnownReferencesOnce) {
  TVariables variables(FileOf({{"Title", "T"}, {"Author", "A"}, {"loose", "%{nobody}"}}), false,
                       TCodePage(1252));
  EXPECT_EQ(variables.ExpandText("%{Title} by %{author}, %{x} %%{Title}"),
            "T by A, %{x} %%{Title}");
  EXPECT_EQ(variables.ExpandText("%{loose}"), "%{nobody}");
  EXPECT_EQ(variables.ExpandText(""), "");
  EXPECT_EQ(variables.Values("Title"), "T");
}

TEST(Variables, HundredThousandChainedVariables) {
  constexpr int count = 100000;
  TVariableEntries entries;
  for (int i = 0; i < count - 1; ++i)
    entries.emplace_back(Numbered(i), "%{" + Numbered(i + 1) + "}");
  entries.emplace_back(Numbered(count - 1), "end");
  {
    TVariables variables(FileOf(entries), false, TCodePage(1252));
    EXPECT_EQ(variables.Values(Numbered(0)), "end");
    EXPECT_EQ(variables.Values(Numbered(count / 2)), "end");
  }
  // Closed into a ring, the same chain is one long cycle.
  entries.back().second = "%{" + Numbered(0) + "}";
  EXPECT_EQ(ErrorOf(FileOf(entries)),
            "Cycling reference encountered during loading variable \"v000000\"");
}

TEST(Variables, ExponentialGrowthFailsClearly) {
  TVariableEntries entries = {{"a00", "ha"}};
  for (int i = 1; i <= 40; ++i) {
    char name[8], previous[8];
    std::snprintf(name, sizeof name, "a%02d", i);
    std::snprintf(previous, sizeof previous, "a%02d", i - 1);
    entries.emplace_back(name, std::string("%{") + previous + "}%{" + previous + "}");
  }
  EXPECT_THAT(ErrorOf(FileOf(entries)),
              testing::StartsWith("Variables grow beyond 67108864 bytes while references are "
                                  "resolved (at variable \"a"));

  TVariables big(FileOf({{"big", std::string(1 << 20, 'x')}}), false, TCodePage(1252));
  std::string manyReferences;
  for (int i = 0; i < 100; ++i)
    manyReferences += "%{big}";
  try {
    big.ExpandText(manyReferences);
    FAIL();
  } catch (const EVariablesError& e) {
    EXPECT_EQ(e.Message(), "Expanded text grows beyond 67108864 bytes");
  }
}
