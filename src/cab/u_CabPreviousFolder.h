#pragma once
// The data blocks of the first folder of a cabinet packed earlier, so that packing new data
// can take over a block that already holds exactly what it would encode instead of deflating
// those bytes again. Only a saving: a cabinet that offers nothing usable (not MSZIP, spanning
// cabinets, damaged headers) gives no blocks, and the encoder takes a block only once decoding
// it gave exactly the new bytes.

#include "cab/u_CabReader.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class TCabPreviousFolder {
public:
  // Reads count bytes at offset of the cabinet into; false when they are not all there.
  using TReadAt = std::function<bool(uint64_t offset, void* into, size_t count)>;

  using TBlock = TCabBlockPlace;

  // An earlier cabinet of size bytes, read through readAt, which must stay usable while this
  // lives. Reads its tables and block records at once, as a reader does: a few bytes per block.
  TCabPreviousFolder(TReadAt readAt, uint64_t size);

  size_t Count() const { return FBlocks.size(); }
  // The blocks in folder order.
  const std::vector<TBlock>& Blocks() const { return FBlocks; }
  // The new folder's data will be newSize bytes, the last of them from changeEnd on the old
  // data's last bytes: a change of length moved them. Returns how many bytes the caller is to
  // insert before changeEnd so that they move by whole blocks (fewer than a block; none when no
  // whole block lies behind the change or nothing is offered); the blocks behind the change are
  // then found at their new place, where each holds the bytes it held, after the same history.
  uint64_t LineUpEnds(uint64_t newSize, uint64_t changeEnd);
  // The block that holds the new data's uncompressed bytes at folderOffset: the one at the same
  // place, or behind a change told by LineUpEnds the one moved there. Null when there is none.
  const TBlock* At(uint64_t folderOffset, size_t uncompressed) const;
  // Reads block's encoded bytes into (block.encodedSize bytes).
  bool Read(const TBlock& block, uint8_t* into) const;

private:
  TReadAt FReadAt;
  std::vector<TBlock> FBlocks;
  std::vector<uint64_t> FStarts; // each block's offset in the folder's data
  uint64_t FDataSize = 0;        // of the folder's data, uncompressed
  // From FMovedFrom on, the new data is the old moved by FMovedBy bytes (a whole number of
  // blocks, negative when it moved back); never when FMovedFrom is UINT64_MAX.
  uint64_t FMovedFrom = UINT64_MAX;
  int64_t FMovedBy = 0;
};
