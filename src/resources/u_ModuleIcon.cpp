#include "resources/u_ModuleIcon.h"

#include "resources/u_Resources.h"
#include "resources/u_WinInfo.h"

#include <cstdlib>
#include <set>
#include <vector>

namespace {

constexpr size_t GroupHeaderSize = 6;
constexpr size_t GroupEntrySize = 14;
constexpr size_t IconEntrySize = 16;
constexpr size_t IconEntryPrefix = 8; // width, height, colours, reserved, planes, bit count

struct TGroupImage {
  std::string Entry; // the group entry's first IconEntryPrefix bytes
  int Width = 0;
  int Height = 0;
  int BitCount = 0;
  std::string_view Image;
};

uint16_t Get16(std::string_view bytes, size_t offset) {
  return uint16_t(uint8_t(bytes[offset]) | uint8_t(bytes[offset + 1]) << 8);
}

void Put16(std::string& out, uint16_t value) {
  out.push_back(char(value & 0xFF));
  out.push_back(char(value >> 8));
}

void Put32(std::string& out, uint32_t value) {
  Put16(out, uint16_t(value & 0xFFFF));
  Put16(out, uint16_t(value >> 16));
}

// The images a group lists that the module holds, in group order. An image listed again is
// taken once, so the icon costs no more than the resources it is made of.
std::vector<TGroupImage> GroupImages(const TPEModule& module, const std::string& groupName) {
  std::vector<TGroupImage> images;
  const auto group = module.FindResource(TResIdent(uint16_t(ResTypeGroupIcon)),
                                         TResIdent(AnsiToWideText(groupName)));
  if (!group || group->size() < GroupHeaderSize || Get16(*group, 2) != 1)
    return images;
  const size_t count = Get16(*group, 4);
  if (count > MaxIconImages || group->size() < GroupHeaderSize + count * GroupEntrySize)
    return images;
  std::set<uint16_t> taken;
  for (size_t i = 0; i < count; ++i) {
    const std::string_view entry =
        group->substr(GroupHeaderSize + i * GroupEntrySize, GroupEntrySize);
    const uint16_t id = Get16(entry, 12);
    const auto image = module.FindResource(TResIdent(uint16_t(ResTypeIcon)), TResIdent(id));
    if (!image || !taken.insert(id).second)
      continue;
    TGroupImage item;
    item.Entry = std::string(entry.substr(0, IconEntryPrefix));
    item.Width = uint8_t(entry[0]) ? uint8_t(entry[0]) : 256; // 0 stands for 256
    item.Height = uint8_t(entry[1]) ? uint8_t(entry[1]) : 256;
    item.BitCount = Get16(entry, 6);
    item.Image = *image;
    images.push_back(std::move(item));
  }
  return images;
}

std::string IconFile(const std::vector<const TGroupImage*>& images) {
  if (images.empty())
    return {};
  std::string out;
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, uint16_t(images.size()));
  uint64_t offset = GroupHeaderSize + IconEntrySize * images.size();
  for (const TGroupImage* image : images) {
    out += image->Entry;
    Put32(out, uint32_t(image->Image.size()));
    Put32(out, uint32_t(offset));
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
    return std::abs(image.Width - size) + std::abs(image.Height - size);
  };
  for (const TGroupImage& image : images)
    if (!best || distance(image) < distance(*best) ||
        (distance(image) == distance(*best) && image.BitCount > best->BitCount))
      best = &image;
  return best ? IconFile({best}) : std::string();
}
