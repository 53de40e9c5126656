#pragma once
// Turns a run of folder data into CFDATA records (header, checksum, reserve, encoded data),
// one record per 32 KiB of input, encoding the blocks on threads of its own while the caller
// goes on (reading the next run, writing the last one's records).

#include "cab/CabIntf.h"
#include "cab/u_CabMszip.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class TCabBlockEncoder {
public:
  // dataReserve: the bytes each CFDATA record reserves (written as zeros).
  explicit TCabBlockEncoder(size_t dataReserve);
  // Waits for a run still being encoded.
  ~TCabBlockEncoder();
  TCabBlockEncoder(const TCabBlockEncoder&) = delete;
  TCabBlockEncoder& operator=(const TCabBlockEncoder&) = delete;

  // Starts encoding size bytes as consecutive blocks of 32 KiB, the last one possibly shorter,
  // for a folder of compression type tcompTYPE_NONE or tcompTYPE_MSZIP. The bytes must stay
  // as they are until Wait returns; the records are there from then on.
  void Start(TCOMP type, const uint8_t* data, size_t size);
  void Wait();

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
  std::vector<std::thread> FWorkers;
  std::atomic<size_t> FNext{0}; // the next block a worker takes
};
