#include "xml/u_SpaceXMLParser.h"

#include "common/u_AnsiText.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

namespace {

void Load(TXMLParser& parser, const std::string& bytes) {
  TStringStream stream(bytes);
  parser.LoadFromStream(stream);
}

// "<class>: <message>" of the failure of parsing bytes, or "no error".
std::string FailureOf(const std::string& bytes) {
  TXMLParser parser(TCodePage(1252));
  try {
    Load(parser, bytes);
  } catch (const EParserError& e) {
    return "EParserError: " + e.Message();
  } catch (const ESpaceXMLParserError& e) {
    return "ESpaceXMLParserError: " + e.Message();
  } catch (const EConvertError& e) {
    return "EConvertError: " + e.Message();
  }
  return "no error";
}

} // namespace

TEST(XMLParser, NoRootBeforeFirstLoadAndNamelessRootForEmptyText) {
  TXMLParser parser(TCodePage(1252));
  EXPECT_EQ(parser.Root(), nullptr);
  for (const std::string text : {"", " \r\n\t "}) {
    Load(parser, text);
    ASSERT_NE(parser.Root(), nullptr);
    EXPECT_EQ(parser.Root()->Name(), "");
    EXPECT_EQ(parser.Root()->Nodes().Count(), 0);
    EXPECT_EQ(parser.Root()->Attributes().Count(), 0);
  }
}

TEST(XMLParser, VariablesFileTree) {
  TXMLParser parser(TCodePage(1252));
  Load(parser, "<vars>\r\n<var name=\"A\">x</var>\r\n</vars>\r\n");
  const TXMLNode* root = parser.Root();
  EXPECT_EQ(root->Name(), "vars");
  EXPECT_EQ(root->Text(), "\r\n\r\n");
  EXPECT_EQ(root->Owner(), nullptr);
  EXPECT_EQ(root->Level(), 0);
  ASSERT_EQ(root->Nodes().Count(), 1);
  const TXMLNode* child = root->Nodes().Items(0);
  EXPECT_EQ(child->Name(), "var");
  EXPECT_EQ(child->Text(), "x");
  EXPECT_EQ(child->Level(), 1);
  EXPECT_EQ(child->Owner(), &root->Nodes());
  EXPECT_EQ(child->Owner()->OwnerNode(), root);
  EXPECT_EQ(child->Attributes().GetText("Name"), "A");
  EXPECT_EQ(child->Attributes().Find("NAME")->Name(), "name");
  EXPECT_EQ(child->Attributes().GetValue("other", TVariant(int32_t(7))), TVariant(int32_t(7)));
}

TEST(XMLParser, EmptyRootWithAttributes) {
  TXMLParser parser(TCodePage(1252));
  Load(parser, "<System Variables=\"\\Variables.xml\"\r\n  ApplicationTitle='%{Title}'/>\r\n");
  EXPECT_EQ(parser.Root()->Name(), "System");
  EXPECT_EQ(parser.Root()->Nodes().Count(), 0);
  EXPECT_EQ(parser.Root()->Attributes().GetText("variables"), "\\Variables.xml");
  EXPECT_EQ(parser.Root()->Attributes().GetText("ApplicationTitle"), "%{Title}");
  EXPECT_EQ(FailureOf("<System/>\r\n x"), "EParserError: ''toEOF'' expected on line 2");
}

TEST(XMLParser, AttributeValueTypesFollowTheirWrittenForm) {
  TXMLParser parser(TCodePage(1252));
  Load(parser, "<a s=\"q\"\"\" w='a'#300 i=-42 h=$10 big=4294967297 f=1.5d x=2e3 n=null e=EMPTY "
               "t=TRUE fl=false dup=1 dup='two'></a>");
  const TXMLAttributes& attributes = parser.Root()->Attributes();
  EXPECT_EQ(attributes.GetValue("s", {}), TVariant("q\""));
  EXPECT_EQ(attributes.GetValue("w", {}), TVariant(std::u16string({97, 300})));
  EXPECT_EQ(attributes.GetValue("i", {}), TVariant(int32_t(-42)));
  EXPECT_EQ(attributes.GetValue("h", {}), TVariant(int32_t(16)));
  EXPECT_EQ(attributes.GetValue("big", {}), TVariant(int32_t(1)));
  EXPECT_EQ(attributes.GetValue("f", {}), TVariant(1.5));
  EXPECT_EQ(attributes.GetValue("x", {}), TVariant(2000.0));
  EXPECT_EQ(attributes.GetValue("n", {}), TVariant::Null());
  EXPECT_EQ(attributes.GetValue("e", TVariant("default")), TVariant());
  EXPECT_EQ(attributes.GetValue("t", {}), TVariant(true));
  EXPECT_EQ(attributes.GetValue("fl", {}), TVariant(false));
  EXPECT_EQ(attributes.GetValue("dup", {}), TVariant("two"));
  EXPECT_EQ(attributes.Count(), 12);
  EXPECT_EQ(FailureOf("<a b=1e999999/>"),
            "EConvertError: '1e999999' is not a valid floating point value");
}

TEST(XMLParser, ContentBytesEscapesAndChildren) {
  TXMLParser parser(TCodePage(1252));
  Load(parser, "<Root>1\\<b\\\\c\\d &amp;<B k=1>2<c/></b>3<c/>\xE9\x01</root>");
  const TXMLNode* root = parser.Root();
  EXPECT_EQ(root->Text(), "1<b\\cd &amp;3\xE9\x01");
  ASSERT_EQ(root->Nodes().Count(), 2);
  const TXMLNode* b = root->Nodes().Items(0);
  EXPECT_EQ(b->Text(), "2");
  EXPECT_EQ(b->Nodes().Items(0)->Level(), 2);
  EXPECT_EQ(root->Nodes().Items(1)->Index(), 1);
  EXPECT_EQ(root->Nodes().Items(1)->Name(), "c");
  try {
    root->Nodes().Items(2);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (2)");
  }
  EXPECT_THROW(root->Nodes().Items(-1), EListError);
}

TEST(XMLParser, EachMalformationHasItsOwnError) {
  const std::pair<std::string, std::string> cases[] = {
      {"text", "EParserError: ''<'' expected on line 1"},
      {"\xEF\xBB\xBF<a/>", "EParserError: ''<'' expected on line 1"},
      {"<?xml version=\"1.0\"?><a/>", "EParserError: Identifier expected on line 1"},
      {"\n<!-- c --><a/>", "EParserError: Identifier expected on line 2"},
      {"<a><1/></a>", "EParserError: Identifier expected\r\nor ''/'' expected on line 1"},
      {"<a b>", "EParserError: ''='' expected on line 1"},
      {"<a my-attr=1/>", "EParserError: ''='' expected on line 1"},
      {"<a b=<", "EParserError: String expected\r\nor String expected\r\nor Number "
                 "expected\r\nor Number expected\r\nor Identifier expected on line 1"},
      {"<a b=yes/>", "ESpaceXMLParserError: Attribute type not supported"},
      {"<a 5/>", "ESpaceXMLParserError: Error in XML"},
      {"<my-el/>", "ESpaceXMLParserError: Error in XML"},
      {"<a>\r\n<b>\r\n</c></a>", "EParserError: b expected on line 3"},
      {"<a/x", "EParserError: ''>'' expected on line 1"},
      {"<a></a x>", "EParserError: ''>'' expected on line 1"},
      {"<a></a> <b/>", "EParserError: ''toEOF'' expected on line 1"},
      {"<a>text", "ESpaceXMLParserError: Error in XML"},
      {"<a", "ESpaceXMLParserError: Error in XML"},
      {std::string("<a>te\0xt</a>", 12), "ESpaceXMLParserError: Error in XML"},
      {std::string("<a>\\\0</a>", 9), "ESpaceXMLParserError: Error in XML"},
      {"<a b=\"open/>", "EParserError: Invalid string constant on line 1"},
      {"<a b=12-3/>", "EConvertError: '12-3' is not a valid floating point value"},
  };
  for (const auto& [text, failure] : cases)
    EXPECT_EQ(FailureOf(text), failure) << text;
}

TEST(XMLParser, TreeReadUpToAnErrorStaysAndNextLoadReplacesIt) {
  TXMLParser parser(TCodePage(1252));
  EXPECT_THROW(Load(parser, "<a><b k=1>x<c>"), ESpaceXMLParserError);
  ASSERT_NE(parser.Root(), nullptr);
  EXPECT_EQ(parser.Root()->Nodes().Items(0)->Nodes().Items(0)->Name(), "c");
  EXPECT_THROW(Load(parser, "x"), EParserError);
  EXPECT_EQ(parser.Root(), nullptr);
  Load(parser, "<v/>");
  EXPECT_EQ(parser.Root()->Name(), "v");
}

TEST(XMLParser, HundredThousandNestedElements) {
  constexpr int depth = 100000;
  std::string text;
  for (int i = 0; i < depth; ++i)
    text += "<e>\n";
  for (int i = 0; i < depth; ++i)
    text += "</e>\n";
  {
    TXMLParser parser(TCodePage(1252));
    Load(parser, text);
    const TXMLNode* node = parser.Root();
    while (node->Nodes().Count() > 0)
      node = node->Nodes().Items(0);
    EXPECT_EQ(node->Level(), depth - 1);
  }
  // Unclosed, the partial tree is as deep and must be freed as well.
  text.resize(depth * 4);
  EXPECT_EQ(FailureOf(text), "ESpaceXMLParserError: Error in XML");
}

TEST(XMLParser, ParsesFromTheStreamPosition) {
  TStringStream stream("header<a k=\"v\"/>");
  stream.SetPosition(6);
  TXMLParser parser(TCodePage(1252));
  parser.LoadFromStream(stream);
  EXPECT_EQ(parser.Root()->Attributes().GetText("k"), "v");
}

TEST(XMLParser, TextAndWideValuesConvertThroughTheCodePage) {
  TXMLParser parser(TCodePage(1252));
  parser.LoadFromText(u"<a t=\"\u00e9\u20ac\" w='x'#8364 cjk=#19968 half=#55296>\u00e9</a>");
  const TXMLAttributes& attributes = parser.Root()->Attributes();
  EXPECT_EQ(attributes.GetText("t"), "\xE9\x80");
  EXPECT_EQ(parser.Root()->Text(), "\xE9");
  EXPECT_EQ(attributes.GetText("w"), "x\x80");
  // A book's own characters that the code page cannot hold become "?", so that it opens;
  // text handed in whole still has to fit the code page.
  EXPECT_EQ(attributes.GetText("cjk"), "?");
  EXPECT_EQ(attributes.GetText("half"), "?");
  EXPECT_THROW(parser.LoadFromText(u"<a t=\"\u4e00\"/>"), EConvertError);
}

TEST(XMLParser, RaiseErrorCodes) {
  auto messageOf = [](int32_t code) {
    try {
      TXMLParser::RaiseError(code);
    } catch (const ESpaceXMLParserError& e) {
      return e.Message();
    }
    return std::string("no error");
  };
  EXPECT_EQ(messageOf(-1), "Error in XML");
  EXPECT_EQ(messageOf(-2), "Attribute type not supported");
  EXPECT_EQ(messageOf(7), "SpaceXMLParser error #7");
}
