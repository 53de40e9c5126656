#pragma once
// Turns a run of folder data into CFDATA records (header, checksum, reserve, encoded data),
// one record per 32 KiB of input, encoding the blocks on several threads at once.

#include "cab/CabIntf.h"
#include "cab/u_CabMszip.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class TCabBlockEncoder {
public:
  // dataReserve: the bytes each CFDATA record reserves (written as zeros).
  explicit TCabBlockEncoder(size_t dataReserve);

  // Encodes size bytes as consecutive blocks of 32 KiB, the last one possibly shorter, for a
  // folder of compression type tcompTYPE_NONE or tcompTYPE_MSZIP.
  void Encode(TCOMP type, const uint8_t* data, size_t size);

  size_t Count() const { return FLengths.size(); }
  const uint8_t* Record(size_t index) const { return FRecords.data() + index * FSlotSize; }
  size_t RecordSize(size_t index) const { return FLengths[index]; }

private:
  size_t EncodeBlock(TMszipEncoder* encoder, TCOMP type, const uint8_t* data, size_t size,
                     uint8_t* record) const;

  size_t FReserve;
  size_t FSlotSize;
  std::vector<uint8_t> FRecords;
  std::vector<size_t> FLengths;
  std::vector<std::unique_ptr<TMszipEncoder>> FEncoders;
};
