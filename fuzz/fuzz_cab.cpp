// The cabinet reader over arbitrary bytes stored as a session file: it may refuse them, but
// only with its own errors, and never reads, writes or allocates beyond what the bytes hold.

#include "cab/u_MFSCab.h"
#include "mfs/u_MFS.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMFS fs;
  fs.Session().WriteFile("\\info.cab", std::string(reinterpret_cast<const char*>(data), size));
  try {
    TMFSCabReader reader(fs.Session(), "\\info.cab");
    reader.Extract("info.mfs", "\\out\\info.mfs");
  } catch (const Exception&) {
    // Refusals are the expected outcome for most inputs.
  }
  return 0;
}
