#include "cab/u_CabPreviousFolder.h"

#include "cab/CabConsts.h"
#include "cab/u_CabFormat.h"
#include "common/u_Streams.h"

#include <algorithm>
#include <utility>

namespace {

// The earlier cabinet as a stream, for the reader's parse of its tables.
class TReadAtStream : public TReadOnlyStream {
public:
  TReadAtStream(const TCabPreviousFolder::TReadAt& readAt, uint64_t size)
      : FReadAt(readAt), FSize(int64_t(size)) {}

  int64_t Read(void* buffer, int64_t count) override {
    const int64_t part = std::clamp<int64_t>(FSize - FPosition, 0, count);
    if (!FReadAt(uint64_t(FPosition), buffer, size_t(part)))
      throw EReadError(SReadError);
    FPosition += part;
    return part;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    FPosition = origin == soBeginning ? offset
                : origin == soCurrent ? FPosition + offset
                                      : FSize + offset;
    return FPosition;
  }
  int64_t Size() override { return FSize; }

private:
  const TCabPreviousFolder::TReadAt& FReadAt;
  int64_t FSize;
  int64_t FPosition = 0;
};

} // namespace

TCabPreviousFolder::TCabPreviousFolder(TReadAt readAt, uint64_t size) : FReadAt(std::move(readAt)) {
  TReadAtStream stream(FReadAt, size);
  try {
    TCabReader cabinet(stream);
    const std::vector<CabFormat::TFolderFields>& folders = cabinet.Folders();
    // A folder that goes on in another cabinet is not all here.
    if (folders.empty() ||
        (cabinet.Header().flags & (CabFormat::FlagPrevCabinet | CabFormat::FlagNextCabinet)) ||
        folders[0].compression != uint16_t(CabFormat::TCabCompression::Mszip))
      return;
    // The decoding that must give the new bytes checks more than the checksum would.
    FBlocks = cabinet.Blocks(0);
  } catch (const EMFSCabError&) {
    return;
  }
  FStarts.reserve(FBlocks.size());
  uint64_t start = 0;
  for (const TCabBlockPlace& block : FBlocks) {
    FStarts.push_back(start);
    start += block.outputSize;
  }
  FDataSize = start;
}

uint64_t TCabPreviousFolder::LineUpEnds(uint64_t newSize, uint64_t changeEnd) {
  constexpr uint64_t BlockSize = CabFormat::MaxBlockUncompressed;
  FMovedFrom = UINT64_MAX;
  if (FBlocks.empty() || changeEnd > newSize || newSize - changeEnd < BlockSize ||
      newSize - changeEnd > FDataSize)
    return 0;
  // Unsigned arithmetic wraps modulo 2^64, a multiple of the block size: the remainder is the
  // padding whether the data grew or shrank.
  const uint64_t padding = (FDataSize - newSize) % BlockSize;
  FMovedFrom = changeEnd + padding;
  FMovedBy = int64_t(newSize + padding) - int64_t(FDataSize);
  return padding;
}

const TCabPreviousFolder::TBlock* TCabPreviousFolder::At(uint64_t folderOffset,
                                                         size_t uncompressed) const {
  // LineUpEnds let no more than the old data move, so the old place is never before its start.
  if (folderOffset >= FMovedFrom)
    folderOffset = uint64_t(int64_t(folderOffset) - FMovedBy);
  const auto it = std::lower_bound(FStarts.begin(), FStarts.end(), folderOffset);
  if (it == FStarts.end() || *it != folderOffset)
    return nullptr;
  const TBlock& block = FBlocks[size_t(it - FStarts.begin())];
  return block.outputSize == uncompressed ? &block : nullptr;
}

bool TCabPreviousFolder::Read(const TBlock& block, uint8_t* into) const {
  return FReadAt(block.dataOffset, into, block.encodedSize);
}
