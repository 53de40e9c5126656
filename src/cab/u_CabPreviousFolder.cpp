#include "cab/u_CabPreviousFolder.h"

#include "cab/CabIntf.h"
#include "cab/u_CabFormat.h"
#include "common/u_ByteView.h"

#include <algorithm>
#include <utility>

TCabPreviousFolder::TCabPreviousFolder(TReadAt readAt, uint64_t size) : FReadAt(std::move(readAt)) {
  if (!ReadTable(size)) {
    FBlocks.clear();
    FStarts.clear();
  }
}

bool TCabPreviousFolder::ReadTable(uint64_t size) {
  using namespace CabFormat;
  uint8_t header[HeaderSize + HeaderReserveSize];
  if (size < HeaderSize || !FReadAt(0, header, HeaderSize))
    return false;
  const THeaderFields cabinet = ReadHeaderFields(TByteView(header, HeaderSize));
  // A folder that goes on in another cabinet is not all here.
  if (cabinet.signature != Signature || cabinet.folders == 0 ||
      (cabinet.flags & (FlagPrevCabinet | FlagNextCabinet)))
    return false;
  uint64_t at = HeaderSize;
  size_t dataReserve = 0;
  if (cabinet.flags & FlagReservePresent) {
    if (!FReadAt(HeaderSize, header + HeaderSize, HeaderReserveSize))
      return false;
    const TReserveSizes reserve =
        ReadReserveSizes(TByteView(header + HeaderSize, HeaderReserveSize));
    dataReserve = reserve.dataReserve;
    at += HeaderReserveSize + reserve.headerReserve;
  }
  uint8_t folderRecord[FolderSize];
  if (at + FolderSize > size || !FReadAt(at, folderRecord, FolderSize))
    return false;
  const TFolderFields folder = ReadFolderFields(TByteView(folderRecord, FolderSize));
  if (folder.compression != tcompTYPE_MSZIP)
    return false;
  at = folder.dataOffset;
  // At most 65535 blocks (a 16-bit count): the table costs a few bytes per block read.
  FBlocks.reserve(folder.blocks);
  FStarts.reserve(folder.blocks);
  uint64_t start = 0;
  for (uint16_t i = 0; i < folder.blocks; ++i) {
    uint8_t record[DataSize];
    if (at + DataSize + dataReserve > size || !FReadAt(at, record, DataSize))
      return false;
    // The decoding that must give the new bytes checks more than the checksum would.
    const auto [checksum, encoded, uncompressed] = ReadDataFields(TByteView(record, DataSize));
    const uint64_t data = at + DataSize + dataReserve;
    if (data + encoded > size || encoded > MaxBlockCompressed ||
        uncompressed > MaxBlockUncompressed)
      return false;
    FBlocks.push_back({data, encoded, uncompressed});
    FStarts.push_back(start);
    start += uncompressed;
    at = data + encoded;
  }
  FDataSize = start;
  return true;
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
  return block.uncompressed == uncompressed ? &block : nullptr;
}

bool TCabPreviousFolder::Read(const TBlock& block, uint8_t* into) const {
  return FReadAt(block.dataOffset, into, block.size);
}
