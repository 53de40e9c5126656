#include "resources/u_ModuleIcon.h"

#include "resources/u_IconFormat.h"
#include "resources/u_Resources.h"
#include "resources/u_WinInfo.h"

#include <cstdlib>
#include <set>
#include <vector>

namespace {

struct TGroupImage {
  TIconEntry Entry;
  std::string_view Image;
};

// The images a group lists that the module holds, in group order. An image listed again is
// taken once, so the icon costs no more than the resources it is made of.
std::vector<TGroupImage> GroupImages(const TPEModule& module, const std::string& groupName) {
  std::vector<TGroupImage> images;
  const auto group = module.FindResource(TResIdent(uint16_t(ResTypeGroupIcon)),
                                         TResIdent(AnsiToWideText(groupName)));
  if (!group || group->size() < IconHeaderSize)
    return images;
  const TByteView bytes = ByteViewOf(*group);
  const TIconHeader header = ReadIconHeader(bytes);
  const size_t count = header.Count;
  if (header.Type != IconImageType || count > MaxIconImages ||
      group->size() < IconHeaderSize + count * IconGroupEntrySize)
    return images;
  std::set<uint16_t> taken;
  for (size_t i = 0; i < count; ++i) {
    const TIconEntry entry = ReadIconGroupEntry(bytes, i);
    const uint16_t id = uint16_t(entry.Place);
    const auto image = module.FindResource(TResIdent(uint16_t(ResTypeIcon)), TResIdent(id));
    if (!image || !taken.insert(id).second)
      continue;
    images.push_back({entry, *image});
  }
  return images;
}

std::string IconFile(const std::vector<const TGroupImage*>& images) {
  if (images.empty())
    return {};
  std::string out;
  WriteIconHeader(out, {0, IconImageType, uint16_t(images.size())});
  uint64_t offset = IconHeaderSize + IconFileEntrySize * images.size();
  for (const TGroupImage* image : images) {
    TIconEntry entry = image->Entry;
    entry.ImageSize = uint32_t(image->Image.size());
    entry.Place = uint32_t(offset);
    WriteIconFileEntry(out, entry);
    offset += image->Image.size();
  }
  for (const TGroupImage* image : images)
    out += image->Image;
  return out;
}

} // namespace

std::string LoadModuleIconGroup(const TPEModule& module, const std::string& groupName) {
  const std::vector<TGroupImage> images = GroupImages(module, groupName);
  std::vector<const TGroupImage*> all;
  for (const TGroupImage& image : images)
    all.push_back(&image);
  return IconFile(all);
}

std::string LoadModuleIcon(const TPEModule& module, const std::string& groupName, int size) {
  const std::vector<TGroupImage> images = GroupImages(module, groupName);
  const TGroupImage* best = nullptr;
  auto distance = [size](const TGroupImage& image) {
    return std::abs(image.Entry.PixelWidth() - size) + std::abs(image.Entry.PixelHeight() - size);
  };
  for (const TGroupImage& image : images)
    if (!best || distance(image) < distance(*best) ||
        (distance(image) == distance(*best) && image.Entry.BitCount > best->Entry.BitCount))
      best = &image;
  return best ? IconFile({best}) : std::string();
}
