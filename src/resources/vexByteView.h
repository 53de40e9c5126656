#pragma once
// The one checked way to read outside bytes: every parser of a file we did not write reads
// each field through TByteView, which checks offset and size against the bytes really there.

#include <cstdint>
#include <string_view>

// A read-only window on outside bytes; a read past its end raises EVexError naming the field.
class TByteView {
public:
  TByteView(const uint8_t* data, uint64_t size) : FData(data), FSize(size) {}
  uint64_t Size() const { return FSize; }
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= FSize && length <= FSize - offset;
  }
  // The address of length bytes at offset, after checking that they are all there.
  const uint8_t* Bytes(uint64_t offset, uint64_t length, const char* field) const;
  uint16_t U16(uint64_t offset, const char* field) const;
  uint32_t U32(uint64_t offset, const char* field) const;

private:
  const uint8_t* FData;
  uint64_t FSize;
};

// A view of bytes held in a string.
TByteView ByteViewOf(std::string_view bytes);
