#pragma once
// MSZIP data blocks: "CK" followed by deflate data for at most 32 KiB of output. The decoder
// keeps the previous 32 KiB of a folder's output as history, as blocks from other compressors
// refer back into it; the encoder writes blocks that stand alone, so they can be made in any
// order and on several threads.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct z_stream_s;
struct inflate_state;

// Room the encoder needs for one block of size bytes: "CK" and a stored deflate block.
constexpr size_t MszipEncodedCapacity(size_t size) {
  return size + 2 + 5;
}

class TMszipEncoder {
public:
  TMszipEncoder();
  ~TMszipEncoder();
  TMszipEncoder(const TMszipEncoder&) = delete;
  TMszipEncoder& operator=(const TMszipEncoder&) = delete;

  // Encodes size bytes (at most 32 KiB) into out, which holds MszipEncodedCapacity(size)
  // bytes; a block that deflate would not shrink below its stored form is stored. Returns the
  // encoded size.
  size_t Encode(const uint8_t* data, size_t size, uint8_t* out);

private:
  // Deflates into out; false when the block is not worth it (see NothingToGain) or the result
  // would not fit in capacity bytes.
  bool Deflate(const uint8_t* data, size_t size, uint8_t* out, size_t capacity, size_t& written);

  std::unique_ptr<z_stream_s> FStream;
};

class TMszipDecoder {
public:
  // slots: how many outputs stay valid at once (at least 2).
  explicit TMszipDecoder(size_t slots = 2);
  ~TMszipDecoder();
  TMszipDecoder(const TMszipDecoder&) = delete;
  TMszipDecoder& operator=(const TMszipDecoder&) = delete;

  // Forgets the history: the next block opens a folder.
  void Reset();
  // Decodes one block into exactly outputSize bytes (at most 32 KiB). False when the data is
  // not MSZIP, is damaged, or does not give outputSize bytes.
  bool Decode(const uint8_t* data, size_t size, size_t outputSize);
  // The bytes of the last successful Decode; valid until slots - 1 more calls.
  const uint8_t* Output() const { return FOutput; }
  // Whether the block data (size bytes), decoded after history (the folder's output before
  // it, at most its last 32 KiB), gives exactly the expectedSize bytes at expected, and is a
  // block every reader accepts: zlib inflates it strictly and it ends exactly at its final
  // deflate block. The history of Decode stays as it was.
  bool Reproduces(const uint8_t* data, size_t size, const uint8_t* expected, size_t expectedSize,
                  const uint8_t* history, size_t historySize);

private:
  bool Inflate(const uint8_t* data, size_t size, uint8_t* out, size_t outputSize,
               const uint8_t* history, size_t historySize);
  // Inflate of a block that stands alone; false also for one that reaches back.
  bool InflateAlone(const uint8_t* data, size_t size, uint8_t* out, size_t outputSize);
  // Makes the last block's output part of the history.
  void AdvanceHistory();

#ifdef FOLIOSET_NO_ISAL
  std::unique_ptr<z_stream_s> FState; // where ISA-L is not to be had (the browser): zlib
#else
  std::unique_ptr<inflate_state> FState;
#endif
  std::unique_ptr<z_stream_s> FStrict; // what Reproduces inflates with
  // Blocks are decoded into the slots in turn, so a full previous block is the history as it
  // is; after a short block the history is joined into its own buffer.
  std::vector<uint8_t> FSlots;
  std::vector<uint8_t> FJoined;
  std::vector<uint8_t> FCheck; // what Reproduces decodes
  size_t FSlotCount;
  size_t FSlot = 0;
  uint8_t* FOutput = nullptr;
  size_t FOutputSize = 0;
  const uint8_t* FHistory = nullptr;
  size_t FHistorySize = 0;
  bool FBlocksStandAlone = true; // no block of the folder has reached back into its history
};
