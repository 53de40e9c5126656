// The cabinet reader over arbitrary bytes stored as a session file: it may refuse them, but
// only with its own errors, and never reads, writes or allocates beyond what the bytes hold.
// The same bytes are then offered as the earlier cabinet of a new pack, of what they held (or
// of the bytes themselves): whatever blocks the writer takes over, its cabinet must give back
// exactly what was packed.

#include "cab/u_CabPreviousFolder.h"
#include "cab/u_MFSCab.h"
#include "mfs/u_MFS.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
// Enough for a few blocks: packing is the slow part of a run.
constexpr size_t MaxPacked = 128 << 10;

void PackOver(const std::string& cabinet, const std::string& content) {
  const TCabPreviousFolder previous(
      [&cabinet](uint64_t offset, void* into, size_t count) {
        if (offset > cabinet.size() || count > cabinet.size() - offset)
          return false;
        std::memcpy(into, cabinet.data() + offset, count);
        return true;
      },
      cabinet.size());
  TMFS fs;
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
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string cabinet(reinterpret_cast<const char*>(data), size);
  TMFS fs;
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
  PackOver(cabinet, content);
  return 0;
}
