#pragma once
// Turns a run of folder data into CFDATA records (header, checksum, encoded data),
// one record per 32 KiB of input, encoding the blocks on threads of its own while the caller
// goes on (reading the next run, writing the last one's records). A block that an earlier
// cabinet holds already, decoding there to exactly these bytes, is taken over as it is.

#include "cab/u_CabFormat.h"
#include "cab/u_CabMszip.h"
#include "cab/u_CabPreviousFolder.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TCabBlockEncoder {
public:
  // Waits for a run still being encoded.
  ~TCabBlockEncoder();

  // What an earlier cabinet offers a run: its folder's blocks, where the run starts in the
  // new folder's data, and the new folder's output before the run (its last 32 KiB at most),
  // which a block may refer back to.
  struct TReuse {
    const TCabPreviousFolder* previous = nullptr;
    uint64_t folderOffset = 0;
    const uint8_t* history = nullptr;
    size_t historySize = 0;
  };

  // Starts encoding size bytes as consecutive blocks of 32 KiB, the last one possibly shorter,
  // for a folder of compression type. The bytes must stay
  // as they are until Wait returns; the records are there from then on. The history reuse
  // names is copied before Start returns.
  void Start(CabFormat::TCabCompression type, const uint8_t* data, size_t size,
             const TReuse& reuse);
  // Waits for the run; a failure on any of its threads (std::bad_alloc, say) passes on here.
  void Wait();

  size_t Count() const { return FLengths.size(); }
  const uint8_t* Record(size_t index) const { return FRecords.data() + index * SlotSize; }
  size_t RecordSize(size_t index) const { return FLengths[index]; }

private:
  // One thread's tools; the decoder only when an earlier cabinet offers blocks.
  struct TWorker {
    std::unique_ptr<TMszipEncoder> encoder;
    std::unique_ptr<TMszipDecoder> decoder;
  };

  // Waits for the threads without reporting what failed on them.
  void Join();
  size_t EncodeBlock(TWorker& worker, CabFormat::TCabCompression type, const uint8_t* data,
                     size_t offset, size_t size, uint8_t* record) const;
  // Puts the earlier cabinet's block for the size bytes at data + offset into body when it
  // decodes to exactly them; returns its encoded size, or 0 when there is none.
  size_t TakePrevious(TMszipDecoder& decoder, const uint8_t* data, size_t offset, size_t size,
                      uint8_t* body) const;

  // Room for a record: its fields and a block stored.
  static constexpr size_t SlotSize =
      CabFormat::DataSize + MszipEncodedCapacity(CabFormat::MaxBlockUncompressed);
  std::vector<uint8_t> FRecords;
  std::vector<size_t> FLengths;
  std::vector<TWorker> FTools;
  TReuse FReuse;
  std::vector<uint8_t> FHistory; // FReuse's history, kept while the run is encoded
  std::vector<std::thread> FWorkers;
  std::atomic<size_t> FNext{0}; // the next block a worker takes
  std::mutex FFailureLock;
  std::exception_ptr FFailure; // the run's first failure, for Wait
};
