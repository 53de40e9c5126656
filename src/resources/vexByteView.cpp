#include "resources/vexByteView.h"

#include "resources/vexTypes.h"

#include <cerrno>

const uint8_t* TByteView::Bytes(uint64_t offset, uint64_t length, const char* field) const {
  if (!Contains(offset, length))
    throw EVexError(
        ENOEXEC,
        Format("%s at offset %llu (%llu bytes) runs past the end of the data (%llu bytes)", field,
               (unsigned long long)offset, (unsigned long long)length, (unsigned long long)FSize));
  return FData + offset;
}

uint16_t TByteView::U16(uint64_t offset, const char* field) const {
  const uint8_t* p = Bytes(offset, 2, field);
  return uint16_t(p[0] | p[1] << 8);
}

uint32_t TByteView::U32(uint64_t offset, const char* field) const {
  const uint8_t* p = Bytes(offset, 4, field);
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

TByteView ByteViewOf(std::string_view bytes) {
  return TByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
