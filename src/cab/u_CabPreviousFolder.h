#pragma once
// The data blocks of the first folder of a cabinet packed earlier, so that packing new data
// can take over a block that already holds exactly what it would encode instead of deflating
// those bytes again. Only a saving: a cabinet that offers nothing usable (not MSZIP, spanning
// cabinets, damaged headers) gives no blocks, and the encoder takes a block only once decoding
// it gave exactly the new bytes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class TCabPreviousFolder {
public:
  // Reads count bytes at offset of the cabinet into; false when they are not all there.
  using TReadAt = std::function<bool(uint64_t offset, void* into, size_t count)>;

  struct TBlock {
    uint64_t dataOffset; // of its encoded bytes ("CK" and deflate data) in the cabinet
    uint16_t size;       // encoded
    uint16_t uncompressed;
  };

  // An earlier cabinet of size bytes, read through readAt, which must stay usable while this
  // lives. Reads the block table at once: a few bytes per block.
  TCabPreviousFolder(TReadAt readAt, uint64_t size);

  size_t Count() const { return FBlocks.size(); }
  // The blocks in folder order.
  const std::vector<TBlock>& Blocks() const { return FBlocks; }
  // The block that starts at folderOffset in the folder's data and expands to exactly
  // uncompressed bytes; null when there is none.
  const TBlock* At(uint64_t folderOffset, size_t uncompressed) const;
  // Reads block's encoded bytes into (block.size bytes).
  bool Read(const TBlock& block, uint8_t* into) const;

private:
  bool ReadTable(uint64_t size);

  TReadAt FReadAt;
  std::vector<TBlock> FBlocks;
  std::vector<uint64_t> FStarts; // each block's offset in the folder's data
};
