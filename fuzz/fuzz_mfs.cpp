// Loads a serialized file system, saves it, loads the result again: the second save must equal
// the first. The loader that reads as it builds (LoadInOrder) must agree with the one over a
// whole string: both fail, or both give the same tree, and so does a load that keeps the
// content of every other file only, in names and lengths. Inputs that do not begin with "MFS" are
// taken as a body and given a valid header, so mutations reach the record reader instead of
// dying at the checksum.

#include "common/u_Common.h"
#include "mfs/u_MFS.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
// Every item's depth, name, date, attributes and length, in order.
std::string Listing(const TMFSFolder& root) {
  std::string text;
  WalkSubtree(root, [&text](const TMFSItem& item, size_t depth) {
    const auto* file = dynamic_cast<const TMFSFile*>(&item);
    text += Format("%zu %08X %X %llu ", depth, item.DateTime(), item.Attributes(),
                   (unsigned long long)(file ? file->Size() : 0)) +
            item.Name() + '\n';
  });
  return text;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (input.compare(0, 3, "MFS") != 0)
    input = "MFS" + Format("%08X", TextChecksum(input)) + input;

  TMFS streamed(TCodePage(1252));
  bool streamedLoaded = true;
  try {
    TByteViewStream inOrder(input);
    streamed.LoadInOrder(inOrder);
  } catch (const Exception&) {
    streamedLoaded = false;
  }
  TMFS namesOnly(TCodePage(1252));
  bool keep = false;
  namesOnly.SetContentWanted([&keep](const std::string&) { return keep = !keep; });
  bool namesLoaded = true;
  try {
    TByteViewStream inOrder(input);
    namesOnly.LoadInOrder(inOrder);
  } catch (const Exception&) {
    namesLoaded = false;
  }
  TMFS fs(TCodePage(1252));
  try {
    fs.LoadFromString(input);
  } catch (const Exception&) {
    if (streamedLoaded || namesLoaded)
      std::abort();
    return 0;
  }
  if (!namesLoaded || Listing(*namesOnly.Root()) != Listing(*fs.Root()))
    std::abort();
  const std::string saved = fs.SaveToString();
  if (!streamedLoaded || streamed.SaveToString() != saved)
    std::abort();
  TMFS again(TCodePage(1252));
  again.LoadFromString(saved);
  if (again.SaveToString() != saved)
    std::abort();
  return 0;
}
