#include "common/u_AnsiText.h"
#include "common/u_SysUtils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

int Sign(int value) {
  return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

// Sets the locale variables for one test and restores the process's own afterwards.
class AnsiText : public testing::Test {
protected:
  static constexpr const char* Variables[] = {"LC_ALL", "LC_CTYPE", "LANG"};

  void SetUp() override {
    for (const char* name : Variables) {
      const char* value = std::getenv(name);
      FSaved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    UseLocale("C", "", "");
  }

  void TearDown() override {
    for (size_t i = 0; i < FSaved.size(); ++i)
      Put(Variables[i], FSaved[i]);
  }

  // The code page of the locale the variables now give.
  TCodePage UseLocale(const char* lcAll, const char* lcCtype, const char* lang) {
    Put("LC_ALL", std::string(lcAll));
    Put("LC_CTYPE", std::string(lcCtype));
    Put("LANG", std::string(lang));
    return TCodePage::ForLocale();
  }

  static std::string ConversionErrorOf(const TCodePage& codePage, const std::u16string& text) {
    try {
      codePage.Utf16ToAnsi(text);
    } catch (const EConvertError& error) {
      return error.Message();
    }
    return "no EConvertError";
  }

private:
  static void Put(const char* name, const std::optional<std::string>& value) {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  std::vector<std::optional<std::string>> FSaved;
};

} // namespace

TEST_F(AnsiText, CodePageFollowsTheLocaleLanguage) {
  const std::pair<const char*, int> cases[] = {
      {"ru_RU.UTF-8", 1251}, {"uk_UA", 1251},       {"bg_BG.UTF-8", 1251}, {"cs_CZ", 1250},
      {"pl_PL.UTF-8", 1250}, {"hu_HU", 1250},       {"el_GR.UTF-8", 1253}, {"tr_TR", 1254},
      {"he_IL", 1255},       {"ar_EG.UTF-8", 1256}, {"lt_LT", 1257},       {"lv_LV", 1257},
      {"vi_VN", 1258},       {"th_TH.UTF-8", 874},  {"ja_JP.UTF-8", 932},  {"zh_CN.UTF-8", 936},
      {"ko_KR.EUC-KR", 949}, {"zh_TW.UTF-8", 950},  {"zh_HK", 950},        {"de_DE@euro", 1252},
      {"en_US.UTF-8", 1252}, {"C", 1252},           {"POSIX", 1252},       {"C.UTF-8", 1252},
      {"sr_RS", 1251},       {"sr_RS@latin", 1250}, {"hi_IN", 1252},
  };
  for (const auto& [locale, codePage] : cases) {
    const TCodePage used = UseLocale(locale, "", "");
    EXPECT_EQ(used.Number(), codePage) << locale;
    EXPECT_EQ(used.ConverterName(), "windows-" + std::to_string(codePage)) << locale;
  }
}

TEST_F(AnsiText, LocaleVariablesTakePrecedenceInOrder) {
  EXPECT_EQ(UseLocale("", "", "ru_RU.UTF-8").Number(), 1251);
  EXPECT_EQ(UseLocale("", "el_GR.UTF-8", "ru_RU.UTF-8").Number(), 1253);
  EXPECT_EQ(UseLocale("ja_JP.UTF-8", "el_GR.UTF-8", "ru_RU.UTF-8").Number(), 932);
  EXPECT_EQ(UseLocale("", "", "").Number(), 1252);
}

TEST_F(AnsiText, ComparisonIgnoresCaseButNotPunctuationOrAccents) {
  const TCodePage western(1252);
  EXPECT_EQ(western.CompareText("Readme.txt", "README.TXT"), 0);
  EXPECT_NE(western.CompareText("a-b", "ab"), 0);
  EXPECT_NE(western.CompareText("e", "\xE9"), 0);              // e, e acute
  EXPECT_EQ(western.CompareText("\xC9T\xC9", "\xE9t\xE9"), 0); // ETE with acutes, both cases
  EXPECT_EQ(western.CompareText("", ""), 0);
  EXPECT_LT(western.CompareText("", "a"), 0);
}

TEST_F(AnsiText, OnlyLetterCaseMakesTextsEqualInEveryLocale) {
  const struct {
    const char* locale;
    std::string a;
    std::string b;
    bool equal;
  } cases[] = {
      {"C", "a", "a\xAD", false},     // soft hyphen
      {"C", "a", "a\x01", false},     // control character
      {"C", "1", "\xB9", false},      // superscript one
      {"C", "x\x81", "x\x8D", false}, // bytes windows-1252 leaves undefined
      {"C", "\xDF", "SS", false},     // only simple folding: sharp s is no "ss"
      {"C",
       "Stra\xDF"
       "e",
       "STRA\xDF"
       "E",
       true},
      {"ja_JP.UTF-8", "\x82\xA0", "\x83\x41", false}, // hiragana and katakana a
      {"ja_JP.UTF-8", "\x82\x60", "A", false},        // full-width and plain A
      {"ja_JP.UTF-8", "\x82\x60", "\x82\x81", true},  // full-width A and a
      {"tr_TR.UTF-8", "\\VARIABLES.XML", "\\Variables.xml", true},
      {"tr_TR.UTF-8", "INFO.MFS", "info.mfs", true},
      {"el_GR.UTF-8", "\xD3\xCF\xD6\xC9\xC1", "\xF3\xEF\xF6\xE9\xE1", true}, // SOFIA
  };
  std::string keyA;
  std::string keyB;
  for (const auto& c : cases) {
    const TCodePage cp = UseLocale(c.locale, "", "");
    EXPECT_EQ(cp.CompareText(c.a, c.b) == 0, c.equal) << c.locale << ": " << c.a << " / " << c.b;
    cp.SortKey(c.a, keyA);
    cp.SortKey(c.b, keyB);
    EXPECT_EQ(Sign(keyA.compare(keyB)), Sign(cp.CompareText(c.a, c.b))) << c.a << " / " << c.b;
    EXPECT_EQ(Sign(cp.CompareText(c.a, c.b)), -Sign(cp.CompareText(c.b, c.a)));
  }
  const TCodePage western = UseLocale("C", "", "");
  EXPECT_EQ(western.AnsiToUtf16("\x81\x8D\x8F\x90\x9D"), u"\u0081\u008D\u008F\u0090\u009D");
  EXPECT_EQ(western.Utf16ToAnsi(u"\u0081\u009D"), "\x81\x9D");
}

TEST_F(AnsiText, ComparisonOrdersAlphabeticallyAndConsistently) {
  const TCodePage western(1252);
  const std::vector<std::string> ordered = {"",       "a",      "Apple",     "apples",
                                            "Banana", "cherry", "\xC9t\xE9", "Zebra"};
  for (size_t i = 0; i < ordered.size(); ++i)
    for (size_t j = 0; j < ordered.size(); ++j) {
      const int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(Sign(western.CompareText(ordered[i], ordered[j])), expected)
          << ordered[i] << " / " << ordered[j];
    }
}

TEST_F(AnsiText, SortKeysOrderAsTheComparison) {
  const TCodePage western(1252);
  const std::vector<std::string> texts = {"",
                                          "a",
                                          "A",
                                          "a-b",
                                          "ab",
                                          "README",
                                          "readme",
                                          "\xE9",
                                          "e",
                                          "zz",
                                          std::string(300, 'Q') + "x",
                                          std::string(300, 'q')};
  std::string keyA;
  std::string keyB;
  for (const std::string& a : texts)
    for (const std::string& b : texts) {
      western.SortKey(a, keyA);
      western.SortKey(b, keyB);
      EXPECT_EQ(Sign(keyA.compare(keyB)), Sign(western.CompareText(a, b))) << a << " / " << b;
    }
}

TEST_F(AnsiText, ChosenCodePageAndOrderAreTheSameWhateverTheLocale) {
  const TCodePage turkish(1254);
  std::string expectedKey;
  for (const char* locale : {"C", "cs_CZ.UTF-8", "sv_SE.UTF-8", "tr_TR.UTF-8", "ja_JP.UTF-8"}) {
    UseLocale(locale, "", "");
    EXPECT_EQ(turkish.AnsiToUtf8("\xDD\xFD"), "\xC4\xB0\xC4\xB1") << locale; // dotted I, dotless i
    // Tailorings would put "ch" after "h" (Czech) and a-ring after z (Swedish).
    EXPECT_LT(turkish.CompareText("chata", "hrad"), 0) << locale;
    EXPECT_LT(turkish.CompareText("\xE5", "z"), 0) << locale;
    EXPECT_NE(turkish.CompareText("\xDDzmir", "izmir"), 0) << locale;
    std::string key;
    turkish.SortKey("\xC5lder \xFD", key);
    if (expectedKey.empty())
      expectedKey = key;
    EXPECT_EQ(key, expectedKey) << locale;
  }
  EXPECT_EQ(UseLocale("ru_RU.UTF-8", "", "").Number(), 1251);
  EXPECT_THROW(TCodePage(65001), EConvertError);
}

TEST_F(AnsiText, Windows1252UpperHalfDecodesAndRoundTrips) {
  const TCodePage western(1252);
  EXPECT_EQ(western.AnsiToUtf16("\x80\x81\x9F\xA0\xE9\xFF"),
            u"\u20AC\u0081\u0178\u00A0\u00E9\u00FF");
  EXPECT_EQ(western.AnsiToUtf8("\x80\xE9"), "\xE2\x82\xAC\xC3\xA9");
  std::string all;
  for (int byte = 0; byte < 256; ++byte)
    all += static_cast<char>(byte);
  EXPECT_EQ(western.Utf16ToAnsi(western.AnsiToUtf16(all)), all);
  EXPECT_EQ(western.Utf8ToAnsi(western.AnsiToUtf8(all)), all);
}

TEST_F(AnsiText, UnmappableCharactersRaiseNamingTheCharacter) {
  const TCodePage western(1252);
  EXPECT_EQ(ConversionErrorOf(western, u"ab\u4E2D"),
            "No mapping for the Unicode character U+4E2D in code page 1252");
  EXPECT_EQ(ConversionErrorOf(western, u"\U0001F600"),
            "No mapping for the Unicode character U+1F600 in code page 1252");
  EXPECT_EQ(ConversionErrorOf(western, std::u16string(1, u'\xD800')),
            "No mapping for the Unicode character U+D800 in code page 1252");
  EXPECT_THROW(western.Utf8ToAnsi("\xE4\xB8\xAD"), EConvertError);
  EXPECT_THROW(western.Utf8ToAnsi("\xC3"), EConvertError); // cut UTF-8 sequence
  EXPECT_EQ(western.Utf8ToAnsi(""), "");
  EXPECT_EQ(western.Utf16ToAnsi(std::u16string(1, u'\0')), std::string(1, '\0'));
  EXPECT_EQ(western.Utf16ToAnsiReplacing(u"Caf\u00E9 \u012C\U0001F600!"), "Caf\xE9 ?"
                                                                          "?!");
  try {
    western.Utf16ToAnsi(u"\u0141");
    ADD_FAILURE() << "no EUnmappableCharacter";
  } catch (const EUnmappableCharacter& error) {
    EXPECT_EQ(CannotHoldText("the value", error),
              "the value holds U+0141 LATIN CAPITAL LETTER L WITH STROKE, which code page 1252 "
              "cannot hold");
  }
}

TEST_F(AnsiText, EveryCodePageHoldsPlainAsciiAsAscii) {
  std::string ascii = "\t\n\r";
  for (int c = 0x20; c < 0x7F; ++c)
    ascii += char(c);
  EXPECT_TRUE(IsPlainAscii(ascii));
  for (const char* other : {"\x1A", "\x7F", "\xE9"})
    EXPECT_FALSE(IsPlainAscii(ascii + other)) << "converted in some code page";
  for (const int codePage : AnsiCodePages())
    EXPECT_EQ(TCodePage(codePage).AnsiToUtf16(ascii), std::u16string(ascii.begin(), ascii.end()))
        << codePage;
}

TEST_F(AnsiText, CyrillicLocaleUsesWindows1251) {
  const TCodePage cp = UseLocale("ru_RU.UTF-8", "", "");
  const std::string lower = "\xEF\xF0\xE8\xE2\xE5\xF2"; // privet
  const std::string upper = "\xCF\xD0\xC8\xC2\xC5\xD2"; // PRIVET
  EXPECT_EQ(cp.AnsiToUtf8(upper), "\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2");
  EXPECT_EQ(cp.Utf8ToAnsi(cp.AnsiToUtf8(lower)), lower);
  EXPECT_EQ(cp.CompareText(lower, upper), 0);
  EXPECT_EQ(cp.Utf16ToAnsi(u"\u20AC"), "\x88");
  EXPECT_THROW(cp.Utf16ToAnsi(u"\u00E9"), EConvertError);
}

TEST_F(AnsiText, DoubleByteLocaleConvertsThroughTheConverter) {
  const TCodePage cp = UseLocale("ja_JP.UTF-8", "", "");
  const std::string nihon = "\x93\xFA\x96\x7B";
  EXPECT_EQ(cp.AnsiToUtf16(nihon), u"\u65E5\u672C");
  EXPECT_EQ(cp.Utf16ToAnsi(u"A\u65E5\u672C"), "A" + nihon);
  EXPECT_EQ(ConversionErrorOf(cp, u"\u65E5\u0E01"),
            "No mapping for the Unicode character U+0E01 in code page 932");
  // The converter would drop an unmappable default-ignorable character without a word.
  EXPECT_EQ(ConversionErrorOf(cp, u"k\u061Cx"),
            "No mapping for the Unicode character U+061C in code page 932");
  EXPECT_EQ(cp.Utf16ToAnsiReplacing(u"k\u061Cx\u65E5"), "k?x\x93\xFA");
  EXPECT_EQ(cp.CompareText("Readme" + nihon, "README" + nihon), 0);
  EXPECT_NE(cp.CompareText(nihon, "\x93\xFA"), 0);
  // A lead byte at the end decodes to a replacement, never past the text.
  EXPECT_EQ(cp.AnsiToUtf16("\x93").size(), 1u);
}

TEST_F(AnsiText, ThreadsConvertAndCompareIndependently) {
  const TCodePage greek = UseLocale("el_GR.UTF-8", "", "");
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &failures, &greek] {
      for (int i = 0; i < 500; ++i) {
        if (greek.CompareText("\xE1\xE2\xE3" + std::to_string(i),
                              "\xC1\xC2\xC3" + std::to_string(i)) != 0)
          ++failures[t];
        if (greek.Utf16ToAnsi(greek.AnsiToUtf16("\xE1" + std::to_string(i))) !=
            "\xE1" + std::to_string(i))
          ++failures[t];
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}
