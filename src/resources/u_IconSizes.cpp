#include "resources/u_IconSizes.h"

#include "resources/u_Resources.h"

namespace {
// The group record's entries: 6 bytes of header, then 14 bytes an image.
constexpr size_t GroupHeaderSize = 6;
constexpr size_t GroupEntrySize = 14;

int Byte(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}
} // namespace

std::vector<TIconImageInfo> IconImageInfos(const std::string& icoBytes) {
  if (icoBytes.empty())
    return {};
  const std::string group = IconFileToGroup(icoBytes, 1).GroupRecord;
  std::vector<TIconImageInfo> images;
  for (size_t entry = GroupHeaderSize; entry + GroupEntrySize <= group.size();
       entry += GroupEntrySize) {
    // A width or height of 0 stands for 256 pixels.
    const int width = Byte(group, entry) == 0 ? 256 : Byte(group, entry);
    const int height = Byte(group, entry + 1) == 0 ? 256 : Byte(group, entry + 1);
    images.push_back({width, height, Byte(group, entry + 6) | Byte(group, entry + 7) << 8});
  }
  return images;
}

std::string IconSizesText(const std::string& icoBytes) {
  std::string text;
  for (const TIconImageInfo& image : IconImageInfos(icoBytes)) {
    if (!text.empty())
      text += ' ';
    text += std::to_string(image.Width);
    text += 'x';
    text += std::to_string(image.Height);
  }
  return text.empty() ? "none" : text;
}
