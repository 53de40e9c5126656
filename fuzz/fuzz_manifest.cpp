// The manifest of "brand --manifest" (JSON Lines or CSV): either refused with an Exception, or
// every entry names a book, stands on a line after the one before it, and its names and values
// come out as valid UTF-8, never with a character replaced.
#include "cli/u_Manifest.h"
#include "fuzz_utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    int line = 0;
    for (const TManifestEntry& entry :
         ParseManifest(std::string(reinterpret_cast<const char*>(data), size))) {
      if (entry.Book.empty() || entry.Line <= line)
        std::abort();
      line = entry.Line;
      for (const auto& [name, value] : entry.Values)
        if (!IsFaithfulUtf8(name) || !IsFaithfulUtf8(value))
          std::abort();
    }
  } catch (const Exception&) {
  }
  return 0;
}
