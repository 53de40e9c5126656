#include "gui/u_Version.h"

namespace {
// A Linux program file has no version resource: the build system hands the numbers in.
TFileVersion ReadFileVersion() {
#if defined(FOLIOSET_VERSION_MAJOR) && defined(FOLIOSET_VERSION_MINOR) &&                          \
    defined(FOLIOSET_VERSION_PATCH) && defined(FOLIOSET_VERSION_TWEAK)
  return {FOLIOSET_VERSION_MAJOR + 0u, FOLIOSET_VERSION_MINOR + 0u, FOLIOSET_VERSION_PATCH + 0u,
          FOLIOSET_VERSION_TWEAK + 0u};
#else
  return {0, 0, 0, 0};
#endif
}
} // namespace

const TFileVersion FileVersion = ReadFileVersion();

std::string VersionText(const TFileVersion& version, int firstIndex, int count) {
  std::string text;
  for (int i = firstIndex; i < firstIndex + count; ++i)
    text += std::to_string(version[i]) + ".";
  if (!text.empty())
    text.pop_back();
  return text;
}

std::string GetVersionText(int firstIndex, int count) {
  return VersionText(FileVersion, firstIndex, count);
}
