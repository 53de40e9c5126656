// Parses any bytes as XML. Only the reader's own failures (EParserError, ESpaceXMLParserError,
// EConvertError) may end a parse; a tree that comes out is walked whole, its attributes read as
// text the way the workflow reads System.xml.

#include "common/u_Streams.h"
#include "fuzz_locale.h"
#include "xml/u_SpaceXMLParser.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void ReadAsText(const TXMLAttributes& attributes, const char* name) {
  try {
    (void)attributes.GetText(name);
  } catch (const EConvertError&) {
    // a wide value the code page cannot hold
  }
}

void Walk(const TXMLNode* root) {
  std::vector<const TXMLNode*> pending = {root};
  while (!pending.empty()) {
    const TXMLNode* node = pending.back();
    pending.pop_back();
    ReadAsText(node->Attributes(), "Variables");
    ReadAsText(node->Attributes(), "ApplicationTitle");
    ReadAsText(node->Attributes(), "name");
    const TXMLNodes& children = node->Nodes();
    for (int32_t i = 0; i < children.Count(); ++i) {
      const TXMLNode* child = children.Items(i);
      if (child->Owner() != &children || child->Index() != i || child->Level() != node->Level() + 1)
        std::abort();
      pending.push_back(child);
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)FuzzCodePage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TStringStream stream(std::string(reinterpret_cast<const char*>(data), size));
  TXMLParser parser(FuzzCodePage());
  try {
    parser.LoadFromStream(stream);
  } catch (const EParserError&) {
    return 0;
  } catch (const ESpaceXMLParserError&) {
    return 0;
  } catch (const EConvertError&) {
    return 0;
  }
  Walk(parser.Root());
  return 0;
}
