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

void WriteDataRecord(uint8_t* record, const uint8_t* data, uint16_t encodedSize,
                     uint16_t outputSize) {
  TByteWriter fields(record, DataSize);
  WriteRecord(TDataFields{0, encodedSize, outputSize}, fields);
  TByteWriter checksum(record, 4);
  checksum.U32(DataBlockChecksum(record + 4, DataSize - 4, data, encodedSize));
}

} // namespace CabFormat
