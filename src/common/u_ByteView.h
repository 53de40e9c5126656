#pragma once
// The one checked way to read outside bytes: every reader of a file we did not write (image,
// icon, cabinet, file system) takes each field through TByteView, which checks offset and size
// against the bytes really there and names the field when they are not.

#include "common/u_FileIO.h"

#include <cstdint>
#include <string>
#include <string_view>

// Outside bytes that are not what their format says, such as a field that runs past the end;
// the message names the field. Its code is ENOEXEC: the data is not in the form its reader
// expects, whatever the file holding it.
class EDamagedData : public EFileIOError {
public:
  explicit EDamagedData(std::string cause);
};

// A read-only window on outside bytes; a read past its end raises EDamagedData naming the
// field.
class TByteView {
public:
  TByteView(const uint8_t* data, uint64_t size) : FData(data), FSize(size) {}
  uint64_t Size() const { return FSize; }
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= FSize && length <= FSize - offset;
  }
  // The address of length bytes at offset, after checking that they are all there.
  const uint8_t* Bytes(uint64_t offset, uint64_t length, const char* field) const {
    if (!Contains(offset, length))
      RunsPastTheEnd(offset, length, field);
    return FData + offset;
  }
  // The length bytes at offset as a view of their own.
  TByteView Part(uint64_t offset, uint64_t length, const char* field) const {
    return TByteView(Bytes(offset, length, field), length);
  }
  uint8_t U8(uint64_t offset, const char* field) const { return *Bytes(offset, 1, field); }
  uint16_t U16(uint64_t offset, const char* field) const {
    const uint8_t* p = Bytes(offset, 2, field);
    return uint16_t(p[0] | p[1] << 8);
  }
  uint32_t U32(uint64_t offset, const char* field) const {
    const uint8_t* p = Bytes(offset, 4, field);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }

private:
  [[noreturn]] void RunsPastTheEnd(uint64_t offset, uint64_t length, const char* field) const;

  const uint8_t* FData;
  uint64_t FSize;
};

// A view of bytes held in a string.
TByteView ByteViewOf(std::string_view bytes);

// Reads the fields of a view one after another from its start, each through the view's check.
class TByteCursor {
public:
  explicit TByteCursor(TByteView view) : FView(view) {}

  uint8_t U8(const char* field) { return Taken(FView.U8(FPosition, field)); }
  uint16_t U16(const char* field) { return Taken(FView.U16(FPosition, field)); }
  uint32_t U32(const char* field) { return Taken(FView.U32(FPosition, field)); }
  void Skip(uint64_t count, const char* field) {
    FView.Bytes(FPosition, count, field);
    FPosition += count;
  }
  // The next count bytes as a view of their own.
  TByteView Take(uint64_t count, const char* field) {
    const TByteView part = FView.Part(FPosition, count, field);
    FPosition += count;
    return part;
  }
  // A zero-terminated text of at most maxLength bytes before its zero.
  std::string ZString(size_t maxLength, const char* field);
  uint64_t Position() const { return FPosition; }

private:
  // A field the view has read (and so checked) at the position, which the cursor moves past.
  template <typename T> T Taken(T value) {
    FPosition += sizeof value;
    return value;
  }

  TByteView FView;
  uint64_t FPosition = 0;
};
