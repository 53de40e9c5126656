#include "resources/u_IconSizes.h"

#include "resources/u_IconFormat.h"
#include "resources/u_Resources.h"

std::vector<TIconImageInfo> IconImageInfos(const std::string& icoBytes) {
  if (icoBytes.empty())
    return {};
  const std::string group = IconFileToGroup(icoBytes, 1).GroupRecord;
  const TByteView bytes = ByteViewOf(group);
  std::vector<TIconImageInfo> images;
  for (uint16_t i = 0; i < ReadIconHeader(bytes).Count; ++i) {
    const TIconEntry entry = ReadIconGroupEntry(bytes, i);
    images.push_back({entry.PixelWidth(), entry.PixelHeight(), entry.BitCount});
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
