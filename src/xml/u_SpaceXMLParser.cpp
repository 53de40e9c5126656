#include "xml/u_SpaceXMLParser.h"

#include "xml/u_SpaceParser.h"

#include <cfloat>
#include <limits>

namespace {

constexpr const char* SErrorInXML = "Error in XML";
constexpr const char* SAttributeTypeNotSupported = "Attribute type not supported";
constexpr const char* SParserErrorCode = "SpaceXMLParser error #%d";
constexpr const char* SListIndexError = "List index out of bounds (%d)";

// The run-time's extended value narrowed to a double; beyond the double range it becomes an
// infinity of the same sign.
double ExtendedToDouble(long double value) {
  if (value > DBL_MAX)
    return std::numeric_limits<double>::infinity();
  if (value < -DBL_MAX)
    return -std::numeric_limits<double>::infinity();
  return double(value);
}

TVariant ReadAttributeValue(const TSpaceParser& parser) {
  switch (parser.Token()) {
  case toString:
    return TVariant(parser.TokenString());
  case toWString:
    return TVariant(parser.TokenWideString());
  case toInteger:
    return TVariant(int32_t(uint32_t(uint64_t(parser.TokenInt())))); // the low 32 bits
  case toFloat:
    return TVariant(ExtendedToDouble(parser.TokenFloat()));
  default:
    break;
  }
  if (parser.TokenSymbolIs("null"))
    return TVariant::Null();
  if (parser.TokenSymbolIs("empty"))
    return TVariant();
  if (parser.TokenSymbolIs("true"))
    return TVariant(true);
  if (parser.TokenSymbolIs("false"))
    return TVariant(false);
  TXMLParser::RaiseError(-2);
}

// name = value, the parser standing on the name.
void ReadAttribute(TSpaceParser& parser, TXMLAttributes& attributes, const TCodePage& codePage) {
  const std::string name = parser.TokenString();
  parser.NextToken();
  parser.CheckToken('=');
  parser.NextToken();
  parser.CheckTokens({toString, toWString, toInteger, toFloat, toSymbol});
  TVariant value = ReadAttributeValue(parser);
  TXMLAttribute* attribute = attributes.Find(name);
  if (!attribute)
    attribute = attributes.Add(name, codePage);
  attribute->SetValue(std::move(value));
}

TXMLNode* Pop(std::vector<TXMLNode*>& stack) {
  if (stack.empty())
    return nullptr;
  TXMLNode* node = stack.back();
  stack.pop_back();
  return node;
}

} // namespace

TXMLAttribute* TXMLAttributes::Find(const std::string& name) const {
  if (!FItems)
    return nullptr;
  return static_cast<TXMLAttribute*>(FItems->Find(name));
}

TXMLAttribute* TXMLAttributes::Add(const std::string& name, const TCodePage& codePage) {
  if (!FItems)
    FItems = std::make_unique<TObjectDictionary>(codePage, true, true);
  auto attribute = std::make_unique<TXMLAttribute>(name);
  FItems->Set_Item(name, attribute.get());
  return attribute.release();
}

TVariant TXMLAttributes::GetValue(const std::string& name, const TVariant& defaultValue) const {
  const TXMLAttribute* attribute = Find(name);
  return attribute ? attribute->Value() : defaultValue;
}

std::string TXMLAttributes::GetText(const std::string& name) const {
  // An attribute is there only once FItems is, with the code page of the names.
  const TXMLAttribute* attribute = Find(name);
  return attribute ? VarToStr(attribute->Value(), *FItems->CodePage()) : std::string();
}

int32_t TXMLAttributes::Count() const {
  return FItems ? FItems->Count() : 0;
}

TXMLNode* TXMLNodes::Items(int32_t index) const {
  if (index < 0 || index >= Count())
    throw EListError(Format(SListIndexError, index));
  return FList[size_t(index)].get();
}

TXMLNode* TXMLNodes::Add(const std::string& name) {
  FList.push_back(std::make_unique<TXMLNode>(name, this, Count(), FLevel));
  return FList.back().get();
}

TXMLNode::TXMLNode(std::string name, TXMLNodes* owner, int32_t index, int32_t level)
    : FName(std::move(name)), FIndex(index), FLevel(level), FNodes(this, level + 1), FOwner(owner) {
}

TXMLNode::~TXMLNode() {
  // Each node taken from the work list hands its children over before it goes, so every
  // destructor below this one finds an empty list.
  std::vector<std::unique_ptr<TXMLNode>> pending = std::move(FNodes.FList);
  while (!pending.empty()) {
    std::unique_ptr<TXMLNode> node = std::move(pending.back());
    pending.pop_back();
    for (std::unique_ptr<TXMLNode>& child : node->FNodes.FList)
      pending.push_back(std::move(child));
    node->FNodes.FList.clear();
  }
}

void TXMLParser::RaiseError(int32_t code) {
  switch (code) {
  case -1:
    throw ESpaceXMLParserError(SErrorInXML);
  case -2:
    throw ESpaceXMLParserError(SAttributeTypeNotSupported);
  default:
    throw ESpaceXMLParserError(Format(SParserErrorCode, code));
  }
}

void TXMLParser::LoadFromText(const std::u16string& text) {
  TStringStream stream(FCodePage.Utf16ToAnsi(text));
  LoadFromStream(stream);
}

void TXMLParser::LoadFromStream(TStream& stream) {
  FRoot.reset();
  TSpaceParser parser(stream, false, FCodePage);
  if (parser.Token() == toEOF) {
    FRoot = std::make_unique<TXMLNode>(std::string(), nullptr, 0, 0);
    return;
  }

  // Open elements above the current one; the tree is walked without recursion.
  std::vector<TXMLNode*> stack;
  parser.CheckToken('<');
  parser.NextToken();
  parser.CheckToken(toSymbol);
  FRoot = std::make_unique<TXMLNode>(parser.TokenString(), nullptr, 0, 0);
  TXMLNode* current = FRoot.get();
  bool inTag = true;
  parser.SetCharMode(false);
  parser.NextToken();

  while (parser.Token() != toEOF) {
    const TTokenKind token = parser.Token();
    if (inTag) {
      if (token == toSymbol) {
        ReadAttribute(parser, current->FAttributes, FCodePage);
      } else if (token == '/') {
        parser.NextToken();
        parser.CheckToken('>');
        current = Pop(stack);
        inTag = false;
        parser.SetCharMode(true);
      } else if (token == '>') {
        inTag = false;
        parser.SetCharMode(true);
      } else {
        RaiseError(-1);
      }
    } else if (token == '<') {
      parser.SetCharMode(false);
      parser.NextToken();
      parser.CheckTokens({toSymbol, '/'});
      if (parser.Token() == toSymbol) {
        stack.push_back(current);
        current = current->FNodes.Add(parser.TokenString());
        inTag = true;
      } else {
        parser.NextToken();
        parser.CheckTokenSymbol(current->FName);
        parser.NextToken();
        parser.CheckToken('>');
        current = Pop(stack);
        parser.SetCharMode(current != nullptr);
      }
    } else if (token == '\\') {
      // A zero byte or the end of input after the backslash ends the loop below.
      if (parser.NextToken() != toEOF)
        current->FText += char(parser.Token());
    } else {
      current->FText += char(token);
    }

    if (!current)
      parser.SetCharMode(false);
    parser.NextToken();
    if (!current)
      parser.CheckToken(toEOF);
  }
  if (current)
    RaiseError(-1);
}
