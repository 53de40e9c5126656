#pragma once
// The sizes and depths of the images of an .ico file image, for showing what an icon holds.

#include <string>
#include <vector>

struct TIconImageInfo {
  int Width;
  int Height;
  int BitsPerPixel;
};

// The images in file order (none for an empty icon, as a book without an icon group gives);
// raises "Icon is corrupted" for bytes that are not an .ico file.
std::vector<TIconImageInfo> IconImageInfos(const std::string& icoBytes);

// "16x16 32x32", or "none" for an empty icon.
std::string IconSizesText(const std::string& icoBytes);
