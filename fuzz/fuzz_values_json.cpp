// The values file of "brand --values" (a JSON object of names and texts): either refused with
// an Exception or every name and value comes out as valid UTF-8, never with a character
// replaced.
#include "cli/u_ValuesJson.h"
#include "common/u_SysUtils.h"
#include "fuzz_utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    for (const auto& [name, value] :
         ParseValuesJson(std::string(reinterpret_cast<const char*>(data), size)))
      if (!IsFaithfulUtf8(name) || !IsFaithfulUtf8(value))
        std::abort();
  } catch (const Exception&) {
  }
  return 0;
}
