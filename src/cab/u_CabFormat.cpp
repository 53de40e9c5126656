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
