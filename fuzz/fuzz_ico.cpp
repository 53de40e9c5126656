// .ico file images through the checks that guard an icon group update.

#include "resources/u_Resources.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string icon(reinterpret_cast<const char*>(data), size);
  try {
    const TIconGroupData group = IconFileToGroup(icon, 1);
    if (group.GroupRecord.size() != 6 + 14 * group.Images.size())
      std::abort();
  } catch (const EResourcesError&) {
  }
  return 0;
}
