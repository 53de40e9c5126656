#pragma once
// The serialized form of a file system (TMFS::SaveToString's bytes) read piece by piece: file
// contents are read where they lie in the tree instead of being copied into one string first,
// so a reader that takes the form in turn (the cabinet writer) never has it whole in memory.

#include "common/u_Streams.h"

#include <cstdint>
#include <string>
#include <vector>

class TMFSFile;
class TMFSFolder;

class TMFSSerialStream : public TReadOnlyStream {
public:
  // The form of the tree below root. The tree must not change while the stream lives.
  explicit TMFSSerialStream(const TMFSFolder& root);

  int64_t Read(void* buffer, int64_t count) override;
  // Seeking from the end adds the offset to the size.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return FSize; }

private:
  class TRecorder;
  // A run of the form: a file's content or name in the tree, or bytes of FOwn.
  struct TPiece {
    const char* Data; // null while recording: the bytes are at Offset in FOwn
    size_t Offset;
    size_t Length;
  };

  std::string FOwn; // the header and every field too small to be worth a piece of its own
  std::vector<TPiece> FPieces;
  std::vector<int64_t> FStarts; // of each piece in the form
  int64_t FSize = 0;
  int64_t FPosition = 0;
};

// Where the serialized form of the tree below root ends file's content (-1 when file is empty
// or not in the tree), and the form's whole size: found by walking the tree, no content read or
// summed.
struct TSerialPlace {
  int64_t ContentEnd = -1;
  int64_t Size = 0;
};
TSerialPlace SerialPlace(const TMFSFolder& root, const TMFSFile& file);
