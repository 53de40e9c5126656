#pragma once
// A folder's data blocks checked and decoded on a second thread while the caller reads the next
// ones from the cabinet and hands on the last one's output: reading, decoding and what the
// caller does with the bytes then share two cores instead of taking turns on one. A small
// folder is not worth a thread, and is checked and decoded as its blocks come.

#include "cab/u_CabFormat.h"
#include "cab/u_CabMszip.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A data block as read: its record (with reserve) and its encoded bytes.
struct TCabDataBlock {
  uint8_t Record[CabFormat::DataSize + 0xFF];
  size_t RecordSize = 0;
  uint8_t* Encoded = nullptr; // MaxBlockCompressed bytes, EncodedSize of them used
  uint32_t Checksum = 0;
  uint32_t EncodedSize = 0;
  uint32_t OutputSize = 0;
};

// A block's output, or why there is none.
struct TCabBlockOutput {
  const uint8_t* Data = nullptr;
  uint32_t Size = 0;
  int32_t Failure = 0; // the reader's error code (TCabReadCode); 0 when the block is sound
};

class TCabBlockAhead {
public:
  // mszip: whether the folder's blocks are MSZIP (else stored); blocks: how many it holds.
  TCabBlockAhead(bool mszip, uint32_t blocks);
  // Stops the second thread, whatever it was doing.
  ~TCabBlockAhead();
  TCabBlockAhead(const TCabBlockAhead&) = delete;
  TCabBlockAhead& operator=(const TCabBlockAhead&) = delete;

  // Room for the next block to read, or null while the blocks read ahead fill the queue.
  TCabDataBlock* Room();
  // The block in Room() has been read: it is checked and decoded in turn.
  void Push();
  // Blocks pushed and not taken yet.
  size_t Pending() const { return FPushed - FTaken; }
  // Waits for the oldest block pushed and not taken (there must be one). Its output stays
  // valid until the next Take.
  TCabBlockOutput Take();

private:
  struct TEntry {
    TCabDataBlock Block;
    TCabBlockOutput Output;
  };
  TCabBlockOutput Decode(const TCabDataBlock& block);
  void Work();

  const bool FMszip;
  std::unique_ptr<TMszipDecoder> FDecoder;
  std::vector<TEntry> FEntries;            // a ring: entry n % size is the n-th block
  std::unique_ptr<uint8_t[]> FEncodedRoom; // the entries' encoded bytes
  // Counts of blocks: pushed by the caller, decoded, taken back (the last one still in use).
  size_t FPushed = 0;
  size_t FDecoded = 0;
  size_t FTaken = 0;
  std::mutex FLock;
  std::condition_variable FWorkCame;
  std::condition_variable FOutputCame;
  bool FWorkerWaits = false;
  bool FCallerWaits = false;
  bool FStop = false;
  std::thread FWorker; // none for a small folder
};
