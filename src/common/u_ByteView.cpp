#include "common/u_ByteView.h"

#include "common/u_SysUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

EDamagedData::EDamagedData(std::string cause) : EFileIOError(ENOEXEC, std::move(cause)) {}

void TByteView::RunsPastTheEnd(uint64_t offset, uint64_t length, const char* field) const {
  throw EDamagedData(
      Format("%s at offset %llu (%llu bytes) runs past the end of the data (%llu bytes)", field,
             (unsigned long long)offset, (unsigned long long)length, (unsigned long long)FSize));
}

TByteView ByteViewOf(std::string_view bytes) {
  return TByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string TByteCursor::ZString(size_t maxLength, const char* field) {
  const uint64_t window = std::min<uint64_t>(uint64_t(maxLength) + 1, FView.Size() - FPosition);
  const uint8_t* start = FView.Bytes(FPosition, window, field);
  const auto* zero = static_cast<const uint8_t*>(std::memchr(start, 0, size_t(window)));
  if (!zero)
    throw EDamagedData(Format("%s at offset %llu has no terminating zero within %llu bytes", field,
                              (unsigned long long)FPosition, (unsigned long long)window));
  const size_t length = size_t(zero - start);
  FPosition += length + 1;
  return std::string(reinterpret_cast<const char*>(start), length);
}

void TByteWriter::Bytes(const void* bytes, uint64_t count) {
  if (count > 0)
    std::memcpy(Room(count), bytes, size_t(count));
}

void TByteWriter::Zeros(uint64_t count) {
  if (count > 0)
    std::memset(Room(count), 0, size_t(count));
}

uint8_t* TByteWriter::Room(uint64_t count) {
  uint8_t* at;
  if (FOut) {
    FOut->resize(size_t(FPosition + count));
    at = reinterpret_cast<uint8_t*>(FOut->data()) + FPosition;
  } else {
    // The window is ours, sized for what we write: running past it is a fault of the writer.
    if (count > FSize - FPosition)
      throw std::logic_error("a record written past the end of its window");
    at = FData + FPosition;
  }
  FPosition += count;
  return at;
}
