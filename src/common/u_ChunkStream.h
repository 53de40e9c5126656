#pragma once
// Bytes written in order and then read once in order. They are kept in chunks, each freed as
// soon as it has been read past, so that a reader turning the bytes into something else (the
// file system loaded from its serialized form) never holds both whole.

#include "common/u_Streams.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

class TChunkStream : public TStream {
public:
  // Reads from the read position on and frees what is behind it.
  int64_t Read(void* buffer, int64_t count) override;
  // Appends at the end, wherever the read position is.
  int64_t Write(const void* buffer, int64_t count) override;
  // Moves the read position: forward only (what was read is gone), never beyond the end;
  // seeking from the end adds the offset to the size.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t) override { throw EWriteError(SWriteError); }
  int64_t Size() override { return FSize; }

  // Hands the bytes from offset (not before the read position) to the end to visit, piece by
  // piece, without reading them.
  void Visit(int64_t offset, const std::function<void(std::string_view)>& visit) const;

private:
  void Consume(int64_t count);

  std::deque<std::string> FChunks;
  int64_t FFirst = 0; // offset of the first chunk kept
  int64_t FSize = 0;
  int64_t FPosition = 0;
};
