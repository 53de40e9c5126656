#include "xml/u_SpaceParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A tokenizer over a byte string it holds.
struct Tokens {
  explicit Tokens(std::string text, bool charMode = false, bool asciiCompare = false)
      : Stream(std::move(text)),
        Parser(Stream, charMode, asciiCompare ? std::nullopt : std::optional(TCodePage(1252))) {}
  TStringStream Stream;
  TSpaceParser Parser;
};

std::string ParserErrorOf(const std::string& text) {
  try {
    Tokens tokens(text);
    while (tokens.Parser.NextToken() != toEOF) {
    }
  } catch (const EParserError& e) {
    return e.Message();
  }
  return "no error";
}

std::string ConvertErrorOf(const std::string& text, bool asFloat) {
  Tokens tokens(text);
  try {
    if (asFloat)
      tokens.Parser.TokenFloat();
    else
      tokens.Parser.TokenInt();
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "no error";
}

// Lines of blanks that fill the buffer up to offset, so that what follows straddles a refill.
std::string Filler(size_t length) {
  std::string filler;
  while (filler.size() + 64 <= length)
    filler += std::string(63, ' ') + "\n";
  filler += std::string(length - filler.size(), ' ');
  return filler;
}

} // namespace

TEST(Tokenizer, EmptyOrBlankInputIsEOFForever) {
  for (const std::string text : {"", " \t\r\n  \n"}) {
    Tokens tokens(text);
    EXPECT_EQ(tokens.Parser.Token(), toEOF);
    EXPECT_EQ(tokens.Parser.NextToken(), toEOF);
    EXPECT_EQ(tokens.Parser.NextToken(), toEOF);
    EXPECT_EQ(tokens.Parser.TokenString(), "");
  }
}

TEST(Tokenizer, KindsAndTextsOfOrdinaryTokens) {
  Tokens tokens("_ab1 \"s\" 12 -7 1.5e3 $fF <=/>\x01\xC8z");
  TSpaceParser& p = tokens.Parser;
  const std::vector<std::pair<TTokenKind, std::string>> expected = {
      {toSymbol, "_ab1"}, {toString, "s"},    {toInteger, "12"}, {toInteger, "-7"},
      {toFloat, "1.5e3"}, {toInteger, "$fF"}, {'<', "<"},        {'=', "="},
      {'/', "/"},         {'>', ">"},         {0xC8, "\xC8"},    {toSymbol, "z"}};
  for (const auto& [kind, text] : expected) {
    EXPECT_EQ(p.Token(), kind) << text;
    EXPECT_EQ(p.TokenString(), text);
    p.NextToken();
  }
  EXPECT_EQ(p.Token(), toEOF);
}

TEST(Tokenizer, QuotedStringsDecodeDoubledQuotesAndCodes) {
  Tokens doubled("\"say \"\"hi\"\"\" 'it''s'");
  EXPECT_EQ(doubled.Parser.TokenString(), "say \"hi\"");
  doubled.Parser.NextToken();
  EXPECT_EQ(doubled.Parser.Token(), toString);
  EXPECT_EQ(doubled.Parser.TokenString(), "it's");

  Tokens joined("'a'#66'c' 'x' 'y'");
  EXPECT_EQ(joined.Parser.TokenString(), "aBc");
  joined.Parser.NextToken();
  EXPECT_EQ(joined.Parser.TokenString(), "x");
  joined.Parser.NextToken();
  EXPECT_EQ(joined.Parser.TokenString(), "y");

  Tokens noDigits("'a'# #13#10");
  EXPECT_EQ(noDigits.Parser.TokenString(), std::string("a\0", 2));
  noDigits.Parser.NextToken();
  EXPECT_EQ(noDigits.Parser.TokenString(), "\r\n");
}

TEST(Tokenizer, CodeAbove255MakesAWideString) {
  Tokens tokens("'a'#300 #65536'\xE9'");
  EXPECT_EQ(tokens.Parser.Token(), toWString);
  EXPECT_EQ(tokens.Parser.TokenWideString(), std::u16string({97, 300}));
  EXPECT_EQ(tokens.Parser.TokenString(), "'a'#300");
  // Codes keep their low 16 bits; quoted bytes are widened unchanged.
  tokens.Parser.NextToken();
  EXPECT_EQ(tokens.Parser.Token(), toWString);
  EXPECT_EQ(tokens.Parser.TokenWideString(), std::u16string({0, 0xE9}));
}

TEST(Tokenizer, StringsSpanningLinesCountEachLineOnce) {
  Tokens tokens("\"a\nb\" 'c\nd'#10 x");
  EXPECT_EQ(tokens.Parser.TokenString(), "a\nb");
  EXPECT_EQ(tokens.Parser.SourceLine(), 2);
  tokens.Parser.NextToken();
  EXPECT_EQ(tokens.Parser.TokenString(), "c\nd\n");
  EXPECT_EQ(tokens.Parser.SourceLine(), 3);
  tokens.Parser.NextToken();
  EXPECT_EQ(tokens.Parser.SourceLine(), 3);
}

TEST(Tokenizer, NumbersAndTheirConversions) {
  Tokens tokens("- 1.5d $1F 12-3 my-name");
  TSpaceParser& p = tokens.Parser;
  EXPECT_EQ(p.Token(), toInteger);
  EXPECT_EQ(p.NextToken(), toFloat);
  EXPECT_EQ(p.FloatType(), 'd');
  EXPECT_EQ(p.TokenString(), "1.5d");
  EXPECT_EQ(p.TokenFloat(), 1.5L);
  EXPECT_EQ(p.NextToken(), toInteger);
  EXPECT_EQ(p.TokenInt(), 31);
  EXPECT_EQ(p.NextToken(), toFloat);
  EXPECT_EQ(p.TokenString(), "12-3");
  EXPECT_EQ(p.NextToken(), toSymbol);
  EXPECT_EQ(p.TokenString(), "my");
  EXPECT_EQ(p.NextToken(), toInteger);
  EXPECT_EQ(p.TokenString(), "-");
  EXPECT_EQ(p.NextToken(), toSymbol);
  EXPECT_EQ(p.TokenString(), "name");

  EXPECT_EQ(ConvertErrorOf("-", false), "'-' is not a valid integer value");
  EXPECT_EQ(ConvertErrorOf("$", false), "'$' is not a valid integer value");
  EXPECT_EQ(ConvertErrorOf("12-3", true), "'12-3' is not a valid floating point value");
  EXPECT_EQ(ConvertErrorOf("9223372036854775808", false),
            "'9223372036854775808' is not a valid integer value");
  EXPECT_EQ(ConvertErrorOf("abc", true), "'abc' is not a valid floating point value");
  EXPECT_EQ(Tokens("-9223372036854775808").Parser.TokenInt(), INT64_MIN);
  EXPECT_EQ(Tokens("$FFFFFFFFFFFFFFFF").Parser.TokenInt(), -1);
  EXPECT_EQ(Tokens("-2.5E-1s").Parser.TokenFloat(), -0.25L);
  EXPECT_EQ(Tokens("'+7'").Parser.TokenFloat(), 7.0L);
}

TEST(Tokenizer, CharacterModeReturnsEveryByte) {
  Tokens tokens(std::string(" \r\xC8\x02\n<a\0b", 9), true);
  TSpaceParser& p = tokens.Parser;
  std::vector<int> kinds = {p.Token()};
  while (p.NextToken() != toEOF)
    kinds.push_back(p.Token());
  EXPECT_EQ(kinds, (std::vector<int>{' ', '\r', 200, 2, '\n', '<', 'a'}));
  EXPECT_EQ(p.SourceLine(), 2);
  EXPECT_EQ(p.TokenString(), "");
  EXPECT_EQ(p.NextToken(), toEOF); // the zero byte ends the input for good
}

TEST(Tokenizer, ModeSwitchTakesEffectAtNextToken) {
  Tokens tokens("<a x=\"1\"> t\\<\n</a>");
  TSpaceParser& p = tokens.Parser;
  EXPECT_EQ(p.NextToken(), toSymbol);
  EXPECT_EQ(p.NextToken(), toSymbol);
  EXPECT_EQ(p.NextToken(), '=');
  EXPECT_EQ(p.NextToken(), toString);
  EXPECT_EQ(p.NextToken(), '>');
  p.SetCharMode(true);
  std::string content;
  while (p.NextToken() != '<')
    content += char(p.Token());
  EXPECT_EQ(content, " t\\");
  p.SetCharMode(false);
  EXPECT_EQ(p.NextToken(), '<');
  EXPECT_EQ(p.NextToken(), '/');
  EXPECT_EQ(p.SourceLine(), 2);
}

TEST(Tokenizer, LineTooLongFromTheConstructor) {
  EXPECT_EQ(ParserErrorOf(std::string(TSpaceParser::BufferSize, 'a')), "Line too long on line 1");
  EXPECT_EQ(ParserErrorOf("x\n" + std::string(TSpaceParser::BufferSize, 'a') + "\n"),
            "Line too long on line 2");
  // The longest line that fits leaves room for the sentinel.
  EXPECT_EQ(ParserErrorOf(std::string(TSpaceParser::BufferSize - 2, 'a') + "\n b"), "no error");
}

TEST(Tokenizer, ErrorsOfBrokenStrings) {
  EXPECT_EQ(ParserErrorOf("x\n\"open\nstring"), "Invalid string constant on line 3");
  EXPECT_EQ(ParserErrorOf("'open"), "Invalid string constant on line 1");
  EXPECT_EQ(ParserErrorOf(std::string("\"a\0b\"", 5)), "Invalid string constant on line 1");
  // A string is held whole in the buffer; one larger than it cannot be read.
  EXPECT_EQ(ParserErrorOf("\"" + std::string(TSpaceParser::BufferSize, '\n') + "\""),
            "Line too long on line 262143");
}

TEST(Tokenizer, TokensStraddlingARefillComeOutWhole) {
  const std::string dq = "\"first \"\" line\n" + std::string(500, 'm') + "\nlast\"";
  const std::string sq = "'one''\n'#13#10'two\n'#300";
  for (size_t offset :
       {TSpaceParser::BufferSize - 300, TSpaceParser::BufferSize - 2, TSpaceParser::BufferSize - 1,
        TSpaceParser::BufferSize, TSpaceParser::BufferSize + 5}) {
    const std::string filler = Filler(offset);
    size_t fillerLines = 0;
    for (char c : filler)
      fillerLines += c == '\n';
    Tokens tokens(filler + dq + " " + sq + " ident\n$7f");
    TSpaceParser& p = tokens.Parser;
    ASSERT_EQ(p.Token(), toString) << offset;
    EXPECT_EQ(p.TokenString(), "first \" line\n" + std::string(500, 'm') + "\nlast");
    EXPECT_EQ(p.SourceLine(), int32_t(fillerLines + 3));
    ASSERT_EQ(p.NextToken(), toWString);
    std::u16string expected = u"one'\n\r\ntwo\n";
    expected += char16_t(300);
    EXPECT_EQ(p.TokenWideString(), expected);
    EXPECT_EQ(p.TokenString(), sq);
    EXPECT_TRUE(p.NextToken() == toSymbol && p.TokenSymbolIs("IDENT"));
    EXPECT_EQ(p.NextToken(), toInteger);
    EXPECT_EQ(p.TokenInt(), 127);
    EXPECT_EQ(p.SourceLine(), int32_t(fillerLines + 6));
  }
}

TEST(Tokenizer, CharacterModeReadsLinesOfAnyLength) {
  const std::string line(3 * TSpaceParser::BufferSize + 17, 'c');
  Tokens tokens(line, true);
  size_t count = 1;
  while (tokens.Parser.NextToken() == 'c')
    ++count;
  EXPECT_EQ(tokens.Parser.Token(), toEOF);
  EXPECT_EQ(count, line.size());
}

// A line cut short in character mode holds back its rest; ordinary tokens that straddle the
// cut come out whole, at every position of the cut within them.
TEST(Tokenizer, OrdinaryTokensAcrossACutLine) {
  const std::string tokens = "ident 'it''s'#300 \"dq\"\"x\" 12.5e3d $ABC 'p'#65 ";
  for (size_t before = 0; before <= tokens.size(); ++before) {
    const size_t filler = TSpaceParser::BufferSize - 1 - before;
    Tokens t("a\n" + std::string(filler, 'x') + tokens + std::string(400000, 'y'));
    TSpaceParser& p = t.Parser;
    p.SetCharMode(true);
    ASSERT_EQ(p.NextToken(), '\n');
    for (size_t i = 0; i < filler; ++i)
      ASSERT_EQ(p.NextToken(), 'x');
    p.SetCharMode(false);
    EXPECT_TRUE(p.NextToken() == toSymbol && p.TokenSymbolIs("ident")) << before;
    EXPECT_EQ(p.NextToken(), toWString) << before;
    EXPECT_EQ(p.TokenWideString(), (std::u16string{'i', 't', '\'', 's', 300})) << before;
    EXPECT_EQ(p.NextToken(), toString) << before;
    EXPECT_EQ(p.TokenString(), "dq\"x") << before;
    EXPECT_EQ(p.NextToken(), toFloat) << before;
    EXPECT_EQ(p.TokenString(), "12.5e3d") << before;
    EXPECT_EQ(p.NextToken(), toInteger) << before;
    EXPECT_EQ(p.TokenInt(), 0xABC) << before;
    EXPECT_EQ(p.NextToken(), toString) << before;
    EXPECT_EQ(p.TokenString(), "pA") << before;
    p.SetCharMode(true);
    EXPECT_EQ(p.NextToken(), ' ') << before;
    EXPECT_EQ(p.NextToken(), 'y') << before;
  }
}

TEST(Tokenizer, CharacterModeCountsLinesAcrossRefills) {
  std::string text;
  for (int i = 0; i < 20000; ++i)
    text += "line " + std::to_string(i) + "\n";
  Tokens tokens(text, true);
  std::string copy(1, char(tokens.Parser.Token()));
  while (tokens.Parser.NextToken() != toEOF)
    copy += char(tokens.Parser.Token());
  EXPECT_EQ(copy, text);
  EXPECT_EQ(tokens.Parser.SourceLine(), 20001);
}

TEST(Tokenizer, CheckMessages) {
  Tokens tokens("\n\nfoo");
  TSpaceParser& p = tokens.Parser;
  auto messageOf = [](auto check) {
    try {
      check();
    } catch (const EParserError& e) {
      return e.Message();
    }
    return std::string("no error");
  };
  EXPECT_EQ(messageOf([&] { p.CheckToken('>'); }), "''>'' expected on line 3");
  EXPECT_EQ(messageOf([&] { p.CheckToken(toEOF); }), "''toEOF'' expected on line 3");
  EXPECT_EQ(messageOf([&] { p.CheckToken(toInteger); }), "Number expected on line 3");
  EXPECT_EQ(messageOf([&] { p.CheckToken(toWString); }), "String expected on line 3");
  EXPECT_EQ(messageOf([&] {
              p.CheckTokens({toString, toWString, toInteger, toFloat, '/'});
            }),
            "String expected\r\nor String expected\r\nor Number expected\r\nor Number "
            "expected\r\nor ''/'' expected on line 3");
  EXPECT_EQ(messageOf([&] { p.CheckTokens({toInteger, toSymbol}); }), "no error");
  EXPECT_EQ(messageOf([&] { p.CheckTokenSymbol("bar"); }), "bar expected on line 3");
  EXPECT_EQ(messageOf([&] { p.CheckTokenSymbol("FOO"); }), "no error");
  EXPECT_EQ(messageOf([&] { p.ErrorFmt("%s and %d", "x", 5); }), "x and 5 on line 3");
  p.NextToken();
  EXPECT_EQ(messageOf([&] { p.CheckToken(toSymbol); }), "Identifier expected on line 3");
}

TEST(Tokenizer, SymbolComparisonAsciiOrLocale) {
  EXPECT_TRUE(Tokens("Vars", false, true).Parser.TokenSymbolIs("vARS"));
  EXPECT_FALSE(Tokens("Vars", false, true).Parser.TokenSymbolIs("Var"));
  EXPECT_TRUE(Tokens("Vars", false, false).Parser.TokenSymbolIs("VARS"));
  EXPECT_FALSE(Tokens("'Vars'", false, false).Parser.TokenSymbolIs("Vars"));
}

TEST(Tokenizer, DestructorLeavesStreamAtLastToken) {
  TStringStream stream("abc  def ghi");
  {
    TSpaceParser parser(stream, false, TCodePage(1252));
    parser.NextToken();
  }
  EXPECT_EQ(stream.Position(), 5);
  EXPECT_EQ(stream.ReadRest(), "def ghi");
}
