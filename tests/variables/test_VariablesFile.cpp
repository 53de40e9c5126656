#include "common/u_AnsiText.h"
#include "common/u_Files.h"
#include "variables/u_Variables.h"
#include "xml/u_SpaceXMLParser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

const TVariableEntries TypicalRaw = {
    {"Title", "The Garden Handbook"},
    {"Author", "Mara Quill"},
    {"Company", "Quill Press"},
    {"Copyright", "Copyright 2025 %{Company}. All rights reserved."},
    {"Website", "https://example.org/garden"},
    {"Email", "books@example.org"},
    {"BuildId", "$20250101-7"},
    {"Engine", "$core"},
    {"Discount", " $5 off with code GARDEN"}};

std::string AllBytesButZero() {
  std::string bytes;
  for (int c = 1; c < 256; ++c)
    bytes += char(c);
  return bytes;
}

} // namespace

TEST(VariablesFile, WrittenFormIsExact) {
  EXPECT_EQ(VariablesFileText({}), "<vars>\r\n</vars>\r\n");
  EXPECT_EQ(VariablesFileText({{"Title", "A \"q\" %{x} $"}, {"a\"b", ""}}),
            "<vars>\r\n<var name=\"Title\">A \"q\" %{x} $</var>\r\n"
            "<var name=\"a\"\"b\"></var>\r\n</vars>\r\n");
  EXPECT_EQ(VariableEntry("n", "a<b\\c>\\"), "<var name=\"n\">a\\<b\\\\c>\\\\</var>\r\n");
}

TEST(VariablesFile, ZeroByteIsRefused) {
  try {
    VariableEntry("Name", std::string("a\0b", 3));
    FAIL();
  } catch (const EVariablesError& e) {
    EXPECT_EQ(e.Message(),
              "Variable \"Name\" cannot be written: a variables file cannot hold a zero byte");
  }
  EXPECT_THROW(VariableEntry(std::string("N\0", 2), "v"), EVariablesError);
}

TEST(VariablesFile, TypicalSampleReadsResolvesAndRewritesByteForByte) {
  const std::string file = LoadFileToString(VARIABLES_TEST_DATA "/typical_Variables.xml");
  EXPECT_EQ(VariablesFileText(TypicalRaw), file);
  TVariables variables(file, false, TCodePage(1252));
  EXPECT_EQ(variables.Names(), (TStringList{"Author", "BuildId", "Company", "Copyright", "Discount",
                                            "Email", "Engine", "Title", "Website"}));
  EXPECT_EQ(variables.Values("Copyright"), "Copyright 2025 Quill Press. All rights reserved.");
  EXPECT_EQ(variables.Values("BuildId"), "$20250101-7");
  EXPECT_EQ(variables.Values("Discount"), " $5 off with code GARDEN");

  TXMLParser system(TCodePage(1252));
  TStringStream systemXml(LoadFileToString(XML_TEST_DATA "/System.xml"));
  system.LoadFromStream(systemXml);
  EXPECT_EQ(system.Root()->Attributes().GetText("Variables"), "\\Variables.xml");
  EXPECT_EQ(variables.ExpandText(system.Root()->Attributes().GetText("ApplicationTitle")),
            "The Garden Handbook by Mara Quill");
}

TEST(VariablesFile, CycleSampleFails) {
  try {
    TVariables variables(LoadFileToString(VARIABLES_TEST_DATA "/cycle_Variables.xml"), false,
                         TCodePage(1252));
    FAIL();
  } catch (const EVariablesError& e) {
    EXPECT_EQ(e.Message(), "Cycling reference encountered during loading variable \"Edition\"");
  }
}

TEST(VariablesFile, EditedEntriesWrittenFirstWin) {
  TVariables old(VariablesFileText(TypicalRaw), false, TCodePage(1252));
  TVariableEntries entries = {{"Title", "New <Title> \\ 100%"}, {"Author", ""}};
  for (const std::string& name : old.Names())
    entries.emplace_back(name, old.Values(name));
  TVariables reread(VariablesFileText(entries), false, TCodePage(1252));
  EXPECT_EQ(reread.Names(), old.Names());
  EXPECT_EQ(reread.Values("Title"), "New <Title> \\ 100%");
  EXPECT_EQ(reread.Values("Author"), "");
  EXPECT_EQ(reread.Values("Copyright"), old.Values("Copyright"));
}

TEST(VariablesFile, AwkwardValuesAndNamesRoundTrip) {
  const TVariableEntries entries = {
      {"all bytes", AllBytesButZero()},
      {"quotes", "\"'\"\"''"},
      {"unknown reference", "%{nobody} %{ also nobody }"},
      {"line breaks", "\r\n\n\r x \r\n"},
      {"markup", "</var><var name=\"x\">\\</vars>"},
      {"trailing backslash", "end\\"},
      {"marker", "$hidden"},
      {"blanks", "  "},
      {"", "a nameless entry is not read back"},
      {"name \"with\" quotes", "1"},
      {"name <with> \\ markup", "2"},
      {"name\r\nwith line break", "3"},
      {"name \xE4\xF6\xFC\xFF\x80", "4"},
  };
  TVariables variables(VariablesFileText(entries), false, TCodePage(1252));
  EXPECT_EQ(variables.Names().size(), entries.size() - 1);
  for (const auto& [name, value] : entries) {
    if (!name.empty()) {
      EXPECT_EQ(variables.Values(name), value) << name;
    }
  }
}

TEST(VariablesFile, ValuesLongerThanTheReadBufferRoundTrip) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(1, 255);
  TVariableEntries entries;
  for (size_t length :
       {size_t(262141), size_t(262143), size_t(262144), size_t(262147), size_t(1) << 20}) {
    std::string value;
    for (size_t i = 0; i < length; ++i) {
      const char c = char(byte(random));
      value += c == '\n' ? 'n' : c;
    }
    entries.emplace_back("v" + std::to_string(length), value);
  }
  TVariables variables(VariablesFileText(entries), false, TCodePage(1252));
  for (const auto& [name, value] : entries)
    EXPECT_TRUE(variables.Values(name) == value) << name;
}

TEST(VariablesFile, RandomBytesRoundTripThroughTheReader) {
  std::mt19937 random(20260107);
  std::uniform_int_distribution<int> byte(1, 255);
  std::uniform_int_distribution<int> length(0, 40);
  TVariableEntries entries;
  for (int i = 0; i < 300; ++i) {
    std::string name = "n" + std::to_string(i), value;
    for (int n = length(random); n > 0; --n)
      name += char(byte(random));
    for (int n = length(random); n > 0; --n)
      value += char(byte(random));
    entries.emplace_back(name, value);
  }
  TXMLParser parser(TCodePage(1252));
  TStringStream stream(VariablesFileText(entries));
  parser.LoadFromStream(stream);
  ASSERT_EQ(parser.Root()->Nodes().Count(), int32_t(entries.size()));
  for (int32_t i = 0; i < parser.Root()->Nodes().Count(); ++i) {
    const TXMLNode* node = parser.Root()->Nodes().Items(i);
    EXPECT_EQ(node->Attributes().GetText("Name"), entries[size_t(i)].first);
    EXPECT_EQ(node->Text(), entries[size_t(i)].second);
  }
}

// Under a double-byte code page, names and values with broken lead and trail bytes are read,
// compared and written back without loss.
TEST(VariablesFile, InvalidCodePageBytesRoundTripUnderADoubleByteLocale) {
  const TCodePage japanese(932);
  const TVariableEntries entries = {{"\x82\xA0", "lead \x81"},
                                    {"trail \x82", "\xFF\xFE%{\x82\xA0}"},
                                    {"A\x81\x7F", "\x80\xA0\xFD"}};
  TVariables variables(VariablesFileText(entries), false, japanese);
  ASSERT_EQ(variables.Names().size(), entries.size());
  EXPECT_EQ(variables.Values("trail \x82"), "\xFF\xFElead \x81");
  EXPECT_EQ(variables.Values("a\x81\x7F"), "\x80\xA0\xFD");
  TVariableEntries written;
  for (const std::string& name : variables.Names())
    written.emplace_back(name, variables.Values(name));
  TVariables reread(VariablesFileText(written), false, japanese);
  EXPECT_EQ(reread.Names(), variables.Names());
  for (const auto& [name, value] : written)
    EXPECT_EQ(reread.Values(name), value);
}
