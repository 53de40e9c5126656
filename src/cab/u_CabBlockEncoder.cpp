#include "cab/u_CabBlockEncoder.h"

#include "cab/u_CabFormat.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace {
// Beyond this many threads the data is too small per thread to pay for them.
constexpr size_t MaxThreads = 8;
constexpr size_t BlockSize = CabFormat::MaxBlockUncompressed;

size_t ThreadCount(size_t blocks) {
  const size_t hardware = std::max<size_t>(std::thread::hardware_concurrency(), 1);
  return std::min({hardware, MaxThreads, blocks});
}
} // namespace

size_t TCabBlockEncoder::TakePrevious(TMszipDecoder& decoder, const uint8_t* data, size_t offset,
                                      size_t size, uint8_t* body) const {
  const TCabPreviousFolder::TBlock* block = FReuse.previous->At(FReuse.folderOffset + offset, size);
  if (!block || block->encodedSize > MszipEncodedCapacity(BlockSize) ||
      !FReuse.previous->Read(*block, body))
    return 0;
  // Every block of a run but its last is whole, so the 32 KiB before a block is the one before
  // it, or for the first the history the run was given.
  const bool first = offset < BlockSize;
  const uint8_t* history = first ? FHistory.data() : data + offset - BlockSize;
  const size_t historySize = first ? FHistory.size() : BlockSize;
  return decoder.Reproduces(body, block->encodedSize, data + offset, size, history, historySize)
             ? block->encodedSize
             : 0;
}

size_t TCabBlockEncoder::EncodeBlock(TWorker& worker, CabFormat::TCabCompression type,
                                     const uint8_t* data, size_t offset, size_t size,
                                     uint8_t* record) const {
  uint8_t* body = record + CabFormat::DataSize;
  size_t encoded = size;
  if (type == CabFormat::TCabCompression::Mszip) {
    encoded = worker.decoder ? TakePrevious(*worker.decoder, data, offset, size, body) : 0;
    if (encoded == 0)
      encoded = worker.encoder->Encode(data + offset, size, body);
  } else {
    std::memcpy(body, data + offset, size);
  }
  CabFormat::WriteDataRecord(record, body, uint16_t(encoded), uint16_t(size));
  return CabFormat::DataSize + encoded;
}

TCabBlockEncoder::~TCabBlockEncoder() {
  Join();
}

void TCabBlockEncoder::Start(CabFormat::TCabCompression type, const uint8_t* data, size_t size,
                             const TReuse& reuse) {
  Wait();
  const size_t blocks = (size + BlockSize - 1) / BlockSize;
  FLengths.assign(blocks, 0);
  if (blocks == 0)
    return;
  if (FRecords.size() < blocks * SlotSize)
    FRecords.resize(blocks * SlotSize);
  FReuse = reuse;
  FHistory.assign(reuse.history, reuse.history + reuse.historySize);
  const bool reusing =
      type == CabFormat::TCabCompression::Mszip && reuse.previous && reuse.previous->Count() > 0;
  const size_t threads = ThreadCount(blocks);
  if (FTools.size() < threads)
    FTools.resize(threads);
  for (size_t worker = 0; worker < threads && type == CabFormat::TCabCompression::Mszip; ++worker) {
    TWorker& tools = FTools[worker];
    if (!tools.encoder)
      tools.encoder = std::make_unique<TMszipEncoder>();
    if (reusing && !tools.decoder)
      tools.decoder = std::make_unique<TMszipDecoder>();
    if (!reusing)
      tools.decoder.reset();
  }

  FNext = 0;
  auto work = [this, type, data, size, blocks](TWorker* tools) {
    try {
      for (size_t i = FNext++; i < blocks; i = FNext++) {
        const size_t offset = i * BlockSize;
        FLengths[i] = EncodeBlock(*tools, type, data, offset, std::min(BlockSize, size - offset),
                                  FRecords.data() + i * SlotSize);
      }
    } catch (...) {
      // Carried to Wait: an exception leaving a thread would end the process.
      const std::lock_guard<std::mutex> lock(FFailureLock);
      if (!FFailure)
        FFailure = std::current_exception();
      FNext = blocks; // the other threads stop at their next block
    }
  };
  // One block is encoded at once: a thread for it costs more than it saves.
  if (blocks == 1) {
    work(&FTools[0]);
    return;
  }
  for (size_t worker = 0; worker < threads; ++worker) {
    try {
      FWorkers.emplace_back(work, &FTools[worker]);
    } catch (const std::system_error&) {
      if (FWorkers.empty())
        work(&FTools[worker]); // no thread at all: the caller encodes, only slower
      break;
    }
  }
}

void TCabBlockEncoder::Join() {
  for (std::thread& worker : FWorkers)
    worker.join();
  FWorkers.clear();
}

void TCabBlockEncoder::Wait() {
  Join();
  if (FFailure)
    std::rethrow_exception(std::exchange(FFailure, nullptr));
}
