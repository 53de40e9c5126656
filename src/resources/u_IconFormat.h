#pragma once
// The layout of icons, defined once for every unit that reads or writes one: an .ico file and an
// icon-group resource both begin with the same header, and their entries describe an image
// alike; they differ in how the image is found (its offset in the file, its resource name in
// the group). Each record is described once, for reading through TByteView (so a short record
// names the field) and for writing.

#include "common/u_ByteView.h"

#include <cstdint>
#include <string>

inline constexpr uint64_t IconHeaderSize = 6;      // reserved, type, count
inline constexpr uint64_t IconFileEntrySize = 16;  // image description, size, offset
inline constexpr uint64_t IconGroupEntrySize = 14; // image description, size, resource name
inline constexpr uint16_t IconImageType = 1;       // 2 would be a cursor

struct TIconHeader {
  uint16_t Reserved = 0, Type = IconImageType, Count = 0;
  bool operator==(const TIconHeader&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.Reserved, "icon header");
    f.Field(r.Type, "icon type");
    f.Field(r.Count, "icon image count");
  }
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
  bool operator==(const TIconEntry&) const = default;
  // The fields both entries begin with, 12 bytes.
  template <typename Record, typename Walk> static void Description(Record& r, Walk& f) {
    f.Field(r.Width, "icon entry");
    f.Field(r.Height, "icon entry");
    f.Field(r.ColorCount, "icon entry");
    f.Field(r.Reserved, "icon entry");
    f.Field(r.Planes, "icon entry planes");
    f.Field(r.BitCount, "icon entry bit count");
    f.Field(r.ImageSize, "icon image size");
  }
};

// The two entries as records. A group's names its image with 16 bits, in Name: its Place is
// not one of its fields.
struct TIconFileEntry : TIconEntry {
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    Description(r, f);
    f.Field(r.Place, "icon image offset");
  }
};
struct TIconGroupEntry : TIconEntry {
  uint16_t Name = 0;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    Description(r, f);
    f.Field(r.Name, "icon group entry name");
  }
};

TIconHeader ReadIconHeader(TByteView bytes);
// The entry at index behind the header, of a file or of a group.
TIconEntry ReadIconFileEntry(TByteView bytes, uint64_t index);
TIconEntry ReadIconGroupEntry(TByteView bytes, uint64_t index);

void WriteIconHeader(std::string& out, const TIconHeader& header);
void WriteIconFileEntry(std::string& out, const TIconEntry& entry);
// Place is written as the 16-bit resource name it is in a group.
void WriteIconGroupEntry(std::string& out, const TIconEntry& entry);
