#pragma once
// The abstract stream (size, 64-bit seek, read, write, set size) and its two plain kinds:
// a stream over an in-memory byte string and a stream over a disk file.

#include "common/u_FileHandle.h"
#include "common/u_SysUtils.h"

#include <cstdint>
#include <string>
#include <string_view>

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
public:
  // Reads up to count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to count bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new one. Each kind defines what an end offset means;
  // an offset of 0 from the end is the end for every kind.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual void SetSize(int64_t newSize) = 0;

  virtual int64_t Size();
  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }

  // Whole-buffer transfers: anything short raises "Stream read error" / "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteString(const std::string& bytes) { WriteBuffer(bytes.data(), int64_t(bytes.size())); }
  // Copies count bytes from source's position; count 0 copies all of source from its start.
  int64_t CopyFrom(TStream& source, int64_t count);
  // The bytes from the current position to the end.
  std::string ReadRest();
};

// Reading and writing a byte string at a position, for the streams kept over one: reading
// stops at the end; writing past the end fills the gap with zeros and grows the string.
// Both move position by the bytes that passed and return their number.
int64_t ReadBytesAt(std::string_view bytes, int64_t& position, void* buffer, int64_t count);
int64_t WriteBytesAt(std::string& bytes, int64_t& position, const void* buffer, int64_t count);

// A stream over a byte string it owns; seeking from the end adds the offset to the size.
class TStringStream : public TStream {
public:
  explicit TStringStream(std::string data = {}) : FData(std::move(data)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  int64_t Size() override { return int64_t(FData.size()); }

  const std::string& DataString() const { return FData; }
  std::string TakeDataString();

private:
  std::string FData;
  int64_t FPosition = 0;
};

// A stream that is only read: a write writes nothing and its size cannot be set.
class TReadOnlyStream : public TStream {
public:
  int64_t Write(const void*, int64_t) override { return 0; }
  void SetSize(int64_t) override { throw EWriteError(SWriteError); }
};

// A read-only stream over bytes it does not own, so that a reader can work on a caller's
// string in place instead of a second copy of it; seeking from the end adds the offset to the
// size. Writes write nothing.
class TByteViewStream : public TReadOnlyStream {
public:
  explicit TByteViewStream(std::string_view bytes) : FBytes(bytes) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return int64_t(FBytes.size()); }

private:
  std::string_view FBytes;
  int64_t FPosition = 0;
};

// A read-only stream over size bytes at offset of a file open elsewhere as handle, read with
// pread so that the file's own position stays as it is; reading ends where the part or the
// file does. The handle must stay open while the stream lives. Writes write nothing.
class TFilePartStream : public TReadOnlyStream {
public:
  TFilePartStream(int handle, uint64_t offset, uint64_t size)
      : FHandle(handle), FOffset(offset), FSize(int64_t(size)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return FSize; }

private:
  int FHandle;
  uint64_t FOffset;
  int64_t FSize;
  int64_t FPosition = 0;
};

enum TFileMode { fmOpenRead, fmOpenWrite, fmOpenReadWrite, fmCreate };

// A stream over a disk file; seeking from the end adds the offset to the size.
class TFileStream : public TStream {
public:
  // fmCreate creates or truncates; the others open an existing file. Failures raise
  // "Cannot create file "%s". %s" or "Cannot open file "%s". %s".
  TFileStream(const std::string& fileName, TFileMode mode);
  // Over a file already open, at its current position; fileName names it in messages.
  TFileStream(TFileHandle handle, std::string fileName);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;

  const std::string& FileName() const { return FFileName; }
  int Handle() const { return FHandle.Get(); }

private:
  std::string FFileName;
  TFileHandle FHandle;
};
