#include "variables/u_Variables.h"

#include "common/u_AnsiText.h"
#include "xml/u_SpaceXMLParser.h"

#include <string_view>

namespace {

constexpr const char* SCyclingReference =
    "Cycling reference encountered during loading variable \"%s\"";
constexpr const char* SResolvedTooLarge =
    "Variables grow beyond %zu bytes while references are resolved (at variable \"%s\")";
constexpr const char* SExpandedTooLarge = "Expanded text grows beyond %zu bytes";
constexpr const char* SZeroByte =
    "Variable \"%s\" cannot be written: a variables file cannot hold a zero byte";

// Visit marks of the resolution; a name without a mark has not been visited.
constexpr intptr_t markInProgress = 0;
constexpr intptr_t markDone = 1;
constexpr intptr_t markNone = -1;

// What every reference begins with.
constexpr const char* ReferenceStart = "%{";

enum TScanState { ssPlain, ssPercent, ssInName };

// The scan for references over a text: NextReference stops at the closing brace of each
// reference; the caller either replaces it or skips it. The result is built beside the text,
// not in it, so that each replacement costs its own length rather than a move of everything
// behind it: a value of many references resolves in time linear in its result.
class TReferenceScan {
public:
  bool NextReference(const std::string& text) {
    while (FPosition < text.size()) {
      const char c = text[FPosition];
      switch (FState) {
      case ssPlain:
        if (c == '%')
          FState = ssPercent;
        break;
      case ssPercent:
        // The byte after a lone percent sign is not looked at again, so "%%{x}" stays.
        FState = c == '{' ? ssInName : ssPlain;
        if (FState == ssInName)
          FNameStart = FPosition + 1;
        break;
      case ssInName:
        if (c == '}')
          return true;
        break;
      }
      ++FPosition;
    }
    return false;
  }

  std::string Name(const std::string& text) const {
    return text.substr(FNameStart, FPosition - FNameStart);
  }

  // Length of the reference from its percent sign through its closing brace.
  size_t ReferenceLength() const { return FPosition + 3 - FNameStart; }

  // Puts value in place of the reference; the scan goes on after it, so inserted text is never
  // scanned again.
  void Replace(const std::string& text, const std::string& value) {
    FResult.append(text, FCopied, FNameStart - 2 - FCopied);
    FResult += value;
    FCopied = ++FPosition;
    FState = ssPlain;
  }

  // Leaves the reference as it is written.
  void Skip() {
    ++FPosition;
    FState = ssPlain;
  }

  // The text with the replacements made, once the scan has found no more references.
  std::string Finish(const std::string& text) {
    FResult.append(text, FCopied, std::string::npos);
    return std::move(FResult);
  }

private:
  size_t FPosition = 0;
  TScanState FState = ssPlain;
  size_t FNameStart = 0;
  size_t FCopied = 0; // text before this position is in FResult
  std::string FResult;
};

std::string QuotedName(const std::string& name) {
  std::string quoted = "\"";
  for (const char c : name) {
    if (c == '"')
      quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string EscapedValue(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == '<' || c == '\\')
      escaped += '\\';
    escaped += c;
  }
  return escaped;
}

} // namespace

TVariables::TVariables(const std::string& text, bool stripMarker, const TCodePage& codePage)
    : FValues(std::make_unique<TStringToStringDictionary>(codePage, true)),
      FStored(std::make_unique<TStringToStringDictionary>(codePage, true)) {
  if (text.empty())
    return;
  TByteViewStream stream(text);
  Load(stream, stripMarker);
}

TVariables::TVariables(TStream& stream, bool stripMarker, const TCodePage& codePage)
    : FValues(std::make_unique<TStringToStringDictionary>(codePage, true)),
      FStored(std::make_unique<TStringToStringDictionary>(codePage, true)) {
  Load(stream, stripMarker);
}

TVariables::~TVariables() = default;

void TVariables::Load(TStream& stream, bool stripMarker) {
  size_t totalSize = 0;
  {
    TXMLParser parser(CodePage());
    parser.LoadFromStream(stream);
    const TXMLNodes& entries = parser.Root()->Nodes();
    for (int32_t i = 0; i < entries.Count(); ++i) {
      TXMLNode* entry = entries.Items(i);
      const std::string name = entry->Attributes().GetText("Name");
      if (name.empty())
        continue;
      // The parser is done with each entry: its text is taken, never copied (it may be big).
      // A name met again is ignored: the first entry wins, the later one is kept as it is.
      if (const std::string* first = FValues->KeyOf(name)) {
        FShadowed.push_back({name, entry->TakeText(), *first});
        continue;
      }
      std::string value = entry->TakeText();
      if (stripMarker && !value.empty() && value[0] == '$')
        value.erase(0, 1);
      totalSize += value.size();
      // Only a value with a reference can change as it resolves; the others are kept once.
      if (value.find(ReferenceStart) != std::string::npos)
        FStored->Add(name, value);
      FValues->Add(name, std::move(value));
    }
  }
  ResolveAll(totalSize);
}

void TVariables::ResolveAll(size_t totalSize) {
  TDictionary marks(CodePage(), true);
  const TStringList names = FValues->GetKeys();
  for (const std::string& name : names)
    ResolveVariable(name, marks, totalSize);
}

// Depth-first through the references, on a stack of its own rather than the call stack, so a
// chain of any length resolves: a variable met in a reference is resolved first, then the
// scan of the referring one resumes at that reference's closing brace.
void TVariables::ResolveVariable(const std::string& name, TDictionary& marks, size_t& totalSize) {
  struct TFrame {
    std::string Name;
    std::string Text;
    TReferenceScan Scan;
  };
  std::vector<TFrame> frames;
  auto enter = [&](const std::string& entered, intptr_t mark) {
    if (mark == markDone)
      return;
    if (mark == markInProgress)
      throw EVariablesError(Format(SCyclingReference, entered.c_str()));
    // A value without a reference is resolved as it stands, and not copied: it may be big.
    const std::string& value = FValues->Get_Item(entered);
    if (value.find(ReferenceStart) == std::string::npos) {
      marks.Set_Item(entered, markDone);
      return;
    }
    marks.Set_Item(entered, markInProgress);
    frames.push_back(TFrame{entered, value, TReferenceScan()});
  };

  enter(name, marks.GetItemDef(name, markNone));
  while (!frames.empty()) {
    TFrame& frame = frames.back();
    if (!frame.Scan.NextReference(frame.Text)) {
      FValues->Set_Item(frame.Name, frame.Scan.Finish(frame.Text));
      marks.Set_Item(frame.Name, markDone);
      frames.pop_back();
      continue;
    }
    // Only names of the store ever get a mark, so a marked name needs no lookup of its own.
    const std::string referenced = frame.Scan.Name(frame.Text);
    const intptr_t mark = marks.GetItemDef(referenced, markNone);
    if (mark == markNone && !FValues->Exists(referenced)) {
      frame.Scan.Skip();
    } else if (mark == markDone) {
      const std::string& value = FValues->Get_Item(referenced);
      totalSize = totalSize - frame.Scan.ReferenceLength() + value.size();
      if (totalSize > MaxResolvedSize)
        throw EVariablesError(Format(SResolvedTooLarge, MaxResolvedSize, frame.Name.c_str()));
      frame.Scan.Replace(frame.Text, value);
    } else {
      enter(referenced, mark); // the frame reference is stale from here on
    }
  }
}

TStringList TVariables::Names() const {
  return FValues->GetKeys();
}

bool TVariables::Exists(const std::string& name) const {
  return FValues->Exists(name);
}

const std::string& TVariables::Values(const std::string& name) const {
  return FValues->Get_Item(name);
}

const std::string& TVariables::StoredValue(const std::string& name) const {
  return FStored->Exists(name) ? FStored->Get_Item(name) : FValues->Get_Item(name);
}

std::string TVariables::ExpandText(const std::string& text) const {
  size_t size = text.size();
  TReferenceScan scan;
  while (scan.NextReference(text)) {
    const std::string name = scan.Name(text);
    if (!FValues->Exists(name)) {
      scan.Skip();
      continue;
    }
    const std::string& value = FValues->Get_Item(name);
    size = size - scan.ReferenceLength() + value.size();
    if (size > MaxResolvedSize)
      throw EVariablesError(Format(SExpandedTooLarge, MaxResolvedSize));
    scan.Replace(text, value);
  }
  return scan.Finish(text);
}

std::vector<std::string> ReferencedNames(const std::string& text) {
  std::vector<std::string> names;
  TReferenceScan scan;
  while (scan.NextReference(text)) {
    names.push_back(scan.Name(text));
    scan.Skip();
  }
  return names;
}

bool OneNameInEveryCodePage(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (ca == cb)
      continue;
    const bool startsCharacter = i == 0 || static_cast<unsigned char>(a[i - 1]) < 0x80;
    if (!startsCharacter || lower(ca) != lower(cb))
      return false;
  }
  return true;
}

std::string ShadowedText(const TShadowedEntry& entry, int codePage) {
  std::string text = "shadowed by \"" + entry.ShadowedBy + "\"";
  if (!OneNameInEveryCodePage(entry.Name, entry.ShadowedBy))
    text += Format(", one name in code page %d: %s", codePage, SOpenWithOtherCodePage);
  return text;
}

std::string VariableEntry(const std::string& name, const std::string& value) {
  if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
    throw EVariablesError(Format(SZeroByte, name.c_str()));
  return "<var name=" + QuotedName(name) + ">" + EscapedValue(value) + "</var>\r\n";
}

std::string VariablesFileText(const TVariableEntries& entries) {
  std::string text = SVariablesFileStart;
  for (const auto& [name, value] : entries)
    text += VariableEntry(name, value);
  return text + SVariablesFileEnd;
}

std::string WithBlanks(const std::string& text, size_t count) {
  std::string padded = text;
  padded.insert(text.size() - std::string_view(SVariablesFileEnd).size(), count, ' ');
  return padded;
}
