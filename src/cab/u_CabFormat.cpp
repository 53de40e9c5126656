#include "cab/u_CabFormat.h"

namespace CabFormat {

uint32_t Checksum(const void* bytes, size_t size, uint32_t seed) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  uint32_t sum = seed;
  size_t words = size / 4;
  for (; words > 0; --words, p += 4)
    sum ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  uint32_t tail = 0;
  switch (size % 4) {
  case 3:
    tail |= uint32_t(*p++) << 16;
    [[fallthrough]];
  case 2:
    tail |= uint32_t(*p++) << 8;
    [[fallthrough]];
  case 1:
    tail |= uint32_t(*p);
    break;
  default:
    break;
  }
  return sum ^ tail;
}

uint32_t DataBlockChecksum(const void* headerFromCbData, size_t headerSize, const void* data,
                           size_t dataSize) {
  return Checksum(headerFromCbData, headerSize, Checksum(data, dataSize, 0));
}

THeaderFields ReadHeaderFields(TByteView record) {
  TByteCursor fields(record);
  THeaderFields header;
  header.signature = fields.U32("signature");
  fields.Skip(4, "reserved1");
  header.cabinetSize = fields.U32("cbCabinet");
  fields.Skip(4, "reserved2");
  header.filesOffset = fields.U32("coffFiles");
  fields.Skip(4, "reserved3");
  header.versionMinor = fields.U8("versionMinor");
  header.versionMajor = fields.U8("versionMajor");
  header.folders = fields.U16("cFolders");
  header.files = fields.U16("cFiles");
  header.flags = fields.U16("flags");
  header.setID = fields.U16("setID");
  header.cabinetIndex = fields.U16("iCabinet");
  return header;
}

TReserveSizes ReadReserveSizes(TByteView record) {
  TByteCursor fields(record);
  TReserveSizes sizes;
  sizes.headerReserve = fields.U16("cbCFHeader");
  sizes.folderReserve = fields.U8("cbCFFolder");
  sizes.dataReserve = fields.U8("cbCFData");
  return sizes;
}

TFolderFields ReadFolderFields(TByteView record) {
  TByteCursor fields(record);
  TFolderFields folder;
  folder.dataOffset = fields.U32("coffCabStart");
  folder.blocks = fields.U16("cCFData");
  folder.compression = fields.U16("typeCompress");
  return folder;
}

TDataFields ReadDataFields(TByteView record) {
  TByteCursor fields(record);
  TDataFields data;
  data.checksum = fields.U32("csum");
  data.encodedSize = fields.U16("cbData");
  data.outputSize = fields.U16("cbUncomp");
  return data;
}

void PutU8(std::string& out, uint8_t value) {
  out.push_back(char(value));
}

void PutU16(std::string& out, uint16_t value) {
  PutU8(out, uint8_t(value));
  PutU8(out, uint8_t(value >> 8));
}

void PutU32(std::string& out, uint32_t value) {
  PutU16(out, uint16_t(value));
  PutU16(out, uint16_t(value >> 16));
}

void PutU16At(uint8_t* at, uint16_t value) {
  at[0] = uint8_t(value);
  at[1] = uint8_t(value >> 8);
}

void PutU32At(uint8_t* at, uint32_t value) {
  PutU16At(at, uint16_t(value));
  PutU16At(at + 2, uint16_t(value >> 16));
}

} // namespace CabFormat
