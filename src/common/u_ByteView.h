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

// Writes little-endian fields one after another, the counterpart of TByteCursor: appended to
// a byte string, or into a window of bytes that must have room for them.
class TByteWriter {
public:
  explicit TByteWriter(std::string& out) : FOut(&out), FPosition(out.size()) {}
  TByteWriter(uint8_t* data, uint64_t size) : FData(data), FSize(size) {}

  void U8(uint8_t value) { *Room(1) = value; }
  void U16(uint16_t value) {
    uint8_t* p = Room(2);
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
  }
  void U32(uint32_t value) {
    U16(uint16_t(value));
    U16(uint16_t(value >> 16));
  }
  void Bytes(const void* bytes, uint64_t count);
  void Zeros(uint64_t count);
  uint64_t Position() const { return FPosition; }

private:
  // The next count bytes, which the writer then moves past.
  uint8_t* Room(uint64_t count);

  std::string* FOut = nullptr;
  uint8_t* FData = nullptr;
  uint64_t FSize = 0;
  uint64_t FPosition = 0;
};

// A record is described once, by a static Fields(record, fields) that names each field in
// order through fields.Field(value, name), fields.Reserved(count, name) and
// fields.Text(text, maxLength, name); run with TRecordReader it reads the record, with
// TRecordWriter it writes it.
class TRecordReader {
public:
  explicit TRecordReader(TByteCursor& cursor) : FCursor(cursor) {}
  void Field(uint8_t& value, const char* name) { value = FCursor.U8(name); }
  void Field(uint16_t& value, const char* name) { value = FCursor.U16(name); }
  void Field(uint32_t& value, const char* name) { value = FCursor.U32(name); }
  void Reserved(uint64_t count, const char* name) { FCursor.Skip(count, name); }
  void Text(std::string& text, size_t maxLength, const char* name) {
    text = FCursor.ZString(maxLength, name);
  }

private:
  TByteCursor& FCursor;
};

class TRecordWriter {
public:
  explicit TRecordWriter(TByteWriter& writer) : FWriter(writer) {}
  void Field(uint8_t value, const char*) { FWriter.U8(value); }
  void Field(uint16_t value, const char*) { FWriter.U16(value); }
  void Field(uint32_t value, const char*) { FWriter.U32(value); }
  void Reserved(uint64_t count, const char*) { FWriter.Zeros(count); }
  // Written whole, then its terminating zero: a text too long is the caller's to refuse.
  void Text(const std::string& text, size_t, const char*) {
    FWriter.Bytes(text.data(), text.size());
    FWriter.U8(0);
  }

private:
  TByteWriter& FWriter;
};

template <typename Record> Record ReadRecord(TByteCursor& cursor) {
  Record record;
  TRecordReader fields(cursor);
  Record::Fields(record, fields);
  return record;
}
template <typename Record> Record ReadRecord(TByteView view) {
  TByteCursor cursor(view);
  return ReadRecord<Record>(cursor);
}
template <typename Record> void WriteRecord(const Record& record, TByteWriter& writer) {
  TRecordWriter fields(writer);
  Record::Fields(record, fields);
}
template <typename Record> void WriteRecord(const Record& record, std::string& out) {
  TByteWriter writer(out);
  WriteRecord(record, writer);
}
