// Builds a variables store from any bytes, writes its names and values as a variables file and
// reads that back: the XML reader must return every name and value byte for byte, and a new
// store the same names, and the same values whenever no value holds a reference.

#include "common/u_Streams.h"
#include "fuzz_locale.h"
#include "variables/u_Variables.h"
#include "xml/u_SpaceXMLParser.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The store of text, or nullptr when the text is rejected the way the workflow would show.
std::unique_ptr<TVariables> Build(const std::string& text, bool stripMarker) {
  try {
    return std::make_unique<TVariables>(text, stripMarker, FuzzCodePage());
  } catch (const EParserError&) {
  } catch (const ESpaceXMLParserError&) {
  } catch (const EConvertError&) {
  } catch (const EVariablesError&) {
  }
  return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)FuzzCodePage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)Build(text, true);
  const std::unique_ptr<TVariables> variables = Build(text, false);
  if (!variables)
    return 0;

  const TStringList names = variables->Names();
  TVariableEntries entries;
  bool holdsReference = false;
  for (const std::string& name : names) {
    entries.emplace_back(name, variables->Values(name));
    holdsReference = holdsReference || entries.back().second.find("%{") != std::string::npos;
    (void)variables->ExpandText(name);
  }
  std::string written;
  try {
    written = VariablesFileText(entries);
  } catch (const EVariablesError&) {
    return 0; // a name holding a zero byte (written as #0) cannot be stored
  }

  TXMLParser parser(FuzzCodePage());
  TStringStream stream(written);
  parser.LoadFromStream(stream);
  const TXMLNodes& nodes = parser.Root()->Nodes();
  if (nodes.Count() != int32_t(entries.size()))
    std::abort();
  for (int32_t i = 0; i < nodes.Count(); ++i) {
    if (nodes.Items(i)->Attributes().GetText("Name") != entries[size_t(i)].first ||
        nodes.Items(i)->Text() != entries[size_t(i)].second)
      std::abort();
  }

  // Resolution runs again on reading; text that a replacement put together may form a new
  // reference (even a cycle), so only stores without references must come back unchanged.
  const std::unique_ptr<TVariables> reread = Build(written, false);
  if (!reread) {
    if (!holdsReference)
      std::abort();
    return 0;
  }
  if (reread->Names() != names)
    std::abort();
  if (!holdsReference) {
    for (const auto& [name, value] : entries)
      if (reread->Values(name) != value)
        std::abort();
  }
  return 0;
}
