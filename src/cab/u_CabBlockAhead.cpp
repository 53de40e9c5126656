#include "cab/u_CabBlockAhead.h"

#include "cab/CabConsts.h"

#include <system_error>

namespace {
// Blocks read ahead of the one in use: 2 MiB, enough that neither thread waits on the other's
// hiccups (16 made the open of a 100 MB book a tenth slower; 128 gained nothing more).
constexpr size_t QueuedBlocks = 64;
// A waiting thread is woken once this many blocks are there for it (or all there will be
// until it acts): a wake-up a block costs more than sharing gains.
constexpr size_t WakeBlocks = QueuedBlocks / 2;
// Below 2 MiB of output a folder decodes in about a millisecond, too little to share.
constexpr uint32_t MinSharedBlocks = 64;
// Without a thread: the block in use and the one read after it. A small book's open then
// costs no more memory to fill than a block's.
constexpr size_t UnsharedBlocks = 2;
} // namespace

TCabBlockAhead::TCabBlockAhead(bool mszip, uint32_t blocks)
    : FMszip(mszip), FEntries(blocks < MinSharedBlocks ? UnsharedBlocks : QueuedBlocks) {
  // One slot more than the entries: the block in use keeps its output while the others decode.
  if (mszip)
    FDecoder = std::make_unique<TMszipDecoder>(FEntries.size() + 1);
  // One allocation for all the entries: given back to the system as a whole, not kept by the
  // allocator for what comes next.
  FEncodedRoom.reset(new uint8_t[FEntries.size() * CabFormat::MaxBlockCompressed]);
  for (size_t i = 0; i < FEntries.size(); ++i)
    FEntries[i].Block.Encoded = FEncodedRoom.get() + i * CabFormat::MaxBlockCompressed;
  if (blocks < MinSharedBlocks)
    return;
  try {
    FWorker = std::thread([this] { Work(); });
  } catch (const std::system_error&) { // no thread to be had: the blocks decode as they come
  }
}

TCabBlockAhead::~TCabBlockAhead() {
  if (!FWorker.joinable())
    return;
  {
    const std::lock_guard<std::mutex> lock(FLock);
    FStop = true;
  }
  FWorkCame.notify_one();
  FWorker.join();
}

TCabDataBlock* TCabBlockAhead::Room() {
  const size_t released = FTaken > 0 ? FTaken - 1 : 0; // the last block taken is still in use
  return FPushed - released < FEntries.size() ? &FEntries[FPushed % FEntries.size()].Block
                                              : nullptr;
}

void TCabBlockAhead::Push() {
  if (!FWorker.joinable()) {
    TEntry& entry = FEntries[FPushed % FEntries.size()];
    entry.Output = Decode(entry.Block);
    ++FPushed;
    ++FDecoded;
    return;
  }
  const std::lock_guard<std::mutex> lock(FLock);
  ++FPushed;
  if (FWorkerWaits && FPushed - FDecoded >= WakeBlocks)
    FWorkCame.notify_one();
}

TCabBlockOutput TCabBlockAhead::Take() {
  if (FWorker.joinable()) {
    std::unique_lock<std::mutex> lock(FLock);
    if (FWorkerWaits && FDecoded == FTaken) // it may wait for more blocks than will come
      FWorkCame.notify_one();
    FCallerWaits = true;
    FOutputCame.wait(lock, [this] { return FDecoded > FTaken; });
    FCallerWaits = false;
  }
  return FEntries[FTaken++ % FEntries.size()].Output;
}

TCabBlockOutput TCabBlockAhead::Decode(const TCabDataBlock& block) {
  // A zero checksum means the writer did not compute one.
  if (block.Checksum != 0 &&
      CabFormat::DataBlockChecksum(block.Record + 4, block.RecordSize - 4, block.Encoded,
                                   block.EncodedSize) != block.Checksum)
    return {nullptr, 0, crcCorrupt};
  if (!FMszip) {
    if (block.EncodedSize != block.OutputSize)
      return {nullptr, 0, crcCorrupt};
    return {block.Encoded, block.OutputSize, 0};
  }
  if (!FDecoder->Decode(block.Encoded, block.EncodedSize, block.OutputSize))
    return {nullptr, 0, crcDecompressing};
  return {FDecoder->Output(), block.OutputSize, 0};
}

void TCabBlockAhead::Work() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    if (FStop)
      return;
    if (FDecoded == FPushed) {
      FWorkerWaits = true;
      FWorkCame.wait(lock, [this] { return FStop || FDecoded < FPushed; });
      FWorkerWaits = false;
      continue;
    }
    TEntry& entry = FEntries[FDecoded % FEntries.size()];
    lock.unlock();
    entry.Output = Decode(entry.Block);
    lock.lock();
    ++FDecoded;
    if (FCallerWaits && (FDecoded - FTaken >= WakeBlocks || FDecoded == FPushed))
      FOutputCame.notify_one();
  }
}
