#include "resources/u_IconFormat.h"

namespace {

// The fields both entries begin with, 12 bytes.
TIconEntry ReadDescription(TByteView bytes, uint64_t at) {
  const uint8_t* sizes = bytes.Bytes(at, 4, "icon entry");
  TIconEntry entry;
  entry.Width = sizes[0];
  entry.Height = sizes[1];
  entry.ColorCount = sizes[2];
  entry.Reserved = sizes[3];
  entry.Planes = bytes.U16(at + 4, "icon entry planes");
  entry.BitCount = bytes.U16(at + 6, "icon entry bit count");
  entry.ImageSize = bytes.U32(at + 8, "icon image size");
  return entry;
}

void Put16(std::string& out, uint16_t value) {
  out.push_back(char(value & 0xFF));
  out.push_back(char(value >> 8));
}

void Put32(std::string& out, uint32_t value) {
  Put16(out, uint16_t(value & 0xFFFF));
  Put16(out, uint16_t(value >> 16));
}

void WriteDescription(std::string& out, const TIconEntry& entry) {
  out.push_back(char(entry.Width));
  out.push_back(char(entry.Height));
  out.push_back(char(entry.ColorCount));
  out.push_back(char(entry.Reserved));
  Put16(out, entry.Planes);
  Put16(out, entry.BitCount);
  Put32(out, entry.ImageSize);
}

} // namespace

TIconHeader ReadIconHeader(TByteView bytes) {
  TIconHeader header;
  header.Reserved = bytes.U16(0, "icon header");
  header.Type = bytes.U16(2, "icon type");
  header.Count = bytes.U16(4, "icon image count");
  return header;
}

TIconEntry ReadIconFileEntry(TByteView bytes, uint64_t index) {
  const uint64_t at = IconHeaderSize + index * IconFileEntrySize;
  TIconEntry entry = ReadDescription(bytes, at);
  entry.Place = bytes.U32(at + 12, "icon image offset");
  return entry;
}

TIconEntry ReadIconGroupEntry(TByteView bytes, uint64_t index) {
  const uint64_t at = IconHeaderSize + index * IconGroupEntrySize;
  TIconEntry entry = ReadDescription(bytes, at);
  entry.Place = bytes.U16(at + 12, "icon group entry name");
  return entry;
}

void WriteIconHeader(std::string& out, const TIconHeader& header) {
  Put16(out, header.Reserved);
  Put16(out, header.Type);
  Put16(out, header.Count);
}

void WriteIconFileEntry(std::string& out, const TIconEntry& entry) {
  WriteDescription(out, entry);
  Put32(out, entry.Place);
}

void WriteIconGroupEntry(std::string& out, const TIconEntry& entry) {
  WriteDescription(out, entry);
  Put16(out, uint16_t(entry.Place));
}
