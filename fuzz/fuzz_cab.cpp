// The cabinet reader over arbitrary bytes stored as a session file: it may refuse them, but
// only with its own errors, and never reads, writes or allocates beyond what the bytes hold.
// The same bytes are then offered as the earlier cabinet of a new pack, of what they held (or
// of the bytes themselves), its blocks also looked for where a change of length in the middle
// would have moved them: whatever blocks the writer takes over, its cabinet must give back
// exactly what was packed, and every block of it must be one that zlib inflates strictly.

#include "cab/u_CabFormat.h"
#include "cab/u_CabMszip.h"
#include "cab/u_CabPreviousFolder.h"
#include "cab/u_MFSCab.h"
#include "mfs/u_MFS.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
// Enough for a few blocks: packing is the slow part of a run.
constexpr size_t MaxPacked = 128 << 10;

TCabPreviousFolder FolderOf(const std::string& cabinet) {
  return TCabPreviousFolder(
      [&cabinet](uint64_t offset, void* into, size_t count) {
        if (offset > cabinet.size() || count > cabinet.size() - offset)
          return false;
        std::memcpy(into, cabinet.data() + offset, count);
        return true;
      },
      cabinet.size());
}

// A taken-over block that only a lenient inflater reads would make a cabinet other tools
// refuse.
void CheckEveryBlockStrict(const std::string& cabinet, const std::string& content) {
  const TCabPreviousFolder folder = FolderOf(cabinet);
  TMszipDecoder decoder;
  std::vector<uint8_t> encoded;
  uint64_t start = 0;
  for (const TCabPreviousFolder::TBlock& block : folder.Blocks()) {
    encoded.resize(block.encodedSize);
    const size_t history = size_t(std::min<uint64_t>(start, CabFormat::MaxBlockUncompressed));
    const auto* bytes = reinterpret_cast<const uint8_t*>(content.data());
    if (start + block.outputSize > content.size() || !folder.Read(block, encoded.data()) ||
        !decoder.Reproduces(encoded.data(), block.encodedSize, bytes + start, block.outputSize,
                            bytes + start - history, history))
      std::abort();
    start += block.outputSize;
  }
}

// changeEnd: where content's bytes may start being the tail of what the cabinet held (past
// the end: nowhere).
void PackOver(const std::string& cabinet, const std::string& content, size_t changeEnd) {
  TCabPreviousFolder previous = FolderOf(cabinet);
  previous.LineUpEnds(content.size(), changeEnd);
  TMFS fs(TCodePage(1252));
  TMFSSession& session = fs.Session();
  session.WriteFile("\\in\\info.mfs", content);
  {
    TMFSCabWriter writer(session, "", "\\new.cab");
    writer.UsePreviousFolder(&previous);
    writer.AddFile("\\in\\info.mfs");
    writer.FlushCabinet();
  }
  TMFSCabReader reader(session, "\\new.cab");
  reader.Extract("info.mfs", "\\out.mfs");
  if (session.GetFile("\\out.mfs")->Content() != content)
    std::abort();
  CheckEveryBlockStrict(session.GetFile("\\new.cab")->Content(), content);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string cabinet(reinterpret_cast<const char*>(data), size);
  TMFS fs(TCodePage(1252));
  fs.Session().WriteFile("\\info.cab", cabinet);
  std::string content = cabinet;
  try {
    TMFSCabReader reader(fs.Session(), "\\info.cab");
    reader.Extract("info.mfs", "\\out\\info.mfs");
    content = fs.Session().GetFile("\\out\\info.mfs")->Content();
  } catch (const Exception&) {
    // Refusals are the expected outcome for most inputs.
  }
  content.resize(std::min(content.size(), MaxPacked));
  PackOver(cabinet, content, SIZE_MAX);
  // A block's worth inserted in the middle: the blocks behind it are found at their new place.
  const size_t middle = content.size() / 2;
  const std::string inserted(CabFormat::MaxBlockUncompressed, 'x');
  PackOver(cabinet, content.substr(0, middle) + inserted + content.substr(middle),
           middle + inserted.size());
  return 0;
}
