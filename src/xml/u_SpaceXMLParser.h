#pragma once
// A small, strict XML reader: one root element, attributes whose type follows from how their
// value is written, element content taken byte by byte with "\" escaping the next byte. No
// declaration, comment, processing instruction, CDATA, entity or encoding handling.

#include "common/u_Streams.h"
#include "common/u_SysUtils.h"
#include "containers/u_ObjectDictionary.h"
#include "xml/u_Variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ESpaceXMLParserError : public Exception {
  using Exception::Exception;
};

class TXMLAttribute : public TObject {
public:
  explicit TXMLAttribute(std::string name) : FName(std::move(name)) {}

  const std::string& Name() const { return FName; }
  const TVariant& Value() const { return FValue; }
  void SetValue(TVariant value) { FValue = std::move(value); }

private:
  std::string FName;
  TVariant FValue;
};

// Attribute names match regardless of letter case in the code page of the document.
class TXMLAttributes {
public:
  TXMLAttributes() = default;
  TXMLAttributes(const TXMLAttributes&) = delete;
  TXMLAttributes& operator=(const TXMLAttributes&) = delete;

  // nullptr when there is no such attribute.
  TXMLAttribute* Find(const std::string& name) const;
  // A new attribute with an empty value; one of the same name is freed and replaced. Names
  // compare in the code page given at the first Add.
  TXMLAttribute* Add(const std::string& name, const TCodePage& codePage);
  // A copy of the attribute's value, or of defaultValue when there is no such attribute.
  TVariant GetValue(const std::string& name, const TVariant& defaultValue) const;
  // GetValue with the empty text as default, converted to text in the names' code page
  // (VarToStr).
  std::string GetText(const std::string& name) const;
  int32_t Count() const;

private:
  // Made at the first Add: most elements carry no attributes, and a document may hold
  // millions of elements.
  std::unique_ptr<TObjectDictionary> FItems;
};

class TXMLNode;

class TXMLNodes {
public:
  TXMLNodes(TXMLNode* ownerNode, int32_t level) : FOwnerNode(ownerNode), FLevel(level) {}
  TXMLNodes(const TXMLNodes&) = delete;
  TXMLNodes& operator=(const TXMLNodes&) = delete;

  int32_t Count() const { return int32_t(FList.size()); }
  // EListError "List index out of bounds (%d)" outside 0..Count-1.
  TXMLNode* Items(int32_t index) const;
  // Appends a node with this list as owner, index Count and this list's level.
  TXMLNode* Add(const std::string& name);

  TXMLNode* OwnerNode() const { return FOwnerNode; }
  int32_t Level() const { return FLevel; }

private:
  friend class TXMLNode;
  std::vector<std::unique_ptr<TXMLNode>> FList;
  TXMLNode* FOwnerNode;
  int32_t FLevel;
};

class TXMLNode : public TObject {
public:
  TXMLNode(std::string name, TXMLNodes* owner, int32_t index, int32_t level);
  // Frees the whole subtree, however deep, without recursing once per level.
  ~TXMLNode() override;
  TXMLNode(const TXMLNode&) = delete;
  TXMLNode& operator=(const TXMLNode&) = delete;

  const std::string& Name() const { return FName; }
  // Every content byte of the element in document order, around and between its children.
  const std::string& Text() const { return FText; }
  // The text moved out, the node's left empty: for a reader done with the node, so that a big
  // text is not copied.
  std::string TakeText() { return std::move(FText); }
  int32_t Index() const { return FIndex; }
  int32_t Level() const { return FLevel; }
  TXMLNodes& Nodes() { return FNodes; }
  const TXMLNodes& Nodes() const { return FNodes; }
  // nullptr for the root.
  TXMLNodes* Owner() const { return FOwner; }
  TXMLAttributes& Attributes() { return FAttributes; }
  const TXMLAttributes& Attributes() const { return FAttributes; }

private:
  friend class TXMLParser;
  std::string FName;
  std::string FText;
  int32_t FIndex;
  int32_t FLevel;
  TXMLNodes FNodes;
  TXMLNodes* FOwner;
  TXMLAttributes FAttributes;
};

class TXMLParser {
public:
  // Text of the document is in codePage.
  explicit TXMLParser(TCodePage codePage) : FCodePage(codePage) {}
  TXMLParser(const TXMLParser&) = delete;
  TXMLParser& operator=(const TXMLParser&) = delete;

  // Converts the text to the document's code page and parses it.
  void LoadFromText(const std::u16string& text);
  // Frees the current tree and parses the stream from its position. After a parse error Root
  // holds the elements read up to the error (nullptr when it came before the root's name).
  // Budget: about 30 bytes of memory per byte of dense markup (one node per "<a/>"); time
  // grows as n log n in the attributes of one element.
  void LoadFromStream(TStream& stream);

  // nullptr before the first load.
  TXMLNode* Root() const { return FRoot.get(); }
  const TCodePage& CodePage() const { return FCodePage; }

  // ESpaceXMLParserError: -1 "Error in XML", -2 "Attribute type not supported", any other
  // code "SpaceXMLParser error #%d".
  [[noreturn]] static void RaiseError(int32_t code);

private:
  TCodePage FCodePage;
  std::unique_ptr<TXMLNode> FRoot;
};
