#pragma once
// The layout of icons, defined once for every unit that reads or writes one: an .ico file and an
// icon-group resource both begin with the same header, and their entries describe an image
// alike; they differ in how the image is found (its offset in the file, its resource name in
// the group). Every field is read through TByteView, so a short record names the field.

#include "common/u_ByteView.h"

#include <cstdint>
#include <string>

inline constexpr uint64_t IconHeaderSize = 6;      // reserved, type, count
inline constexpr uint64_t IconFileEntrySize = 16;  // image description, size, offset
inline constexpr uint64_t IconGroupEntrySize = 14; // image description, size, resource name
inline constexpr uint16_t IconImageType = 1;       // 2 would be a cursor

struct TIconHeader {
  uint16_t Reserved = 0;
  uint16_t Type = IconImageType;
  uint16_t Count = 0;
};

// What an entry of either kind says of one image.
struct TIconEntry {
  uint8_t Width = 0;  // 0 stands for 256 pixels
  uint8_t Height = 0; // 0 stands for 256 pixels
  uint8_t ColorCount = 0;
  uint8_t Reserved = 0;
  uint16_t Planes = 0;
  uint16_t BitCount = 0;
  uint32_t ImageSize = 0;
  // In a file the image's offset; in a group its resource name, a 16-bit integer.
  uint32_t Place = 0;

  int PixelWidth() const { return Width == 0 ? 256 : Width; }
  int PixelHeight() const { return Height == 0 ? 256 : Height; }
};

TIconHeader ReadIconHeader(TByteView bytes);
// The entry at index behind the header, of a file or of a group.
TIconEntry ReadIconFileEntry(TByteView bytes, uint64_t index);
TIconEntry ReadIconGroupEntry(TByteView bytes, uint64_t index);

void WriteIconHeader(std::string& out, const TIconHeader& header);
void WriteIconFileEntry(std::string& out, const TIconEntry& entry);
// Place is written as the 16-bit resource name it is in a group.
void WriteIconGroupEntry(std::string& out, const TIconEntry& entry);
