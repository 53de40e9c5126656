#include "cab/u_CabBlockEncoder.h"

#include "cab/u_CabFormat.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace {
// Beyond this many threads the data is too small per thread to pay for them.
constexpr size_t MaxThreads = 8;
constexpr size_t BlockSize = CabFormat::MaxBlockUncompressed;

size_t ThreadCount(size_t blocks) {
  const size_t hardware = std::max<size_t>(std::thread::hardware_concurrency(), 1);
  return std::min({hardware, MaxThreads, blocks});
}
} // namespace

TCabBlockEncoder::TCabBlockEncoder(size_t dataReserve)
    : FReserve(dataReserve),
      FSlotSize(CabFormat::DataSize + dataReserve + MszipEncodedCapacity(BlockSize)) {}

size_t TCabBlockEncoder::EncodeBlock(TMszipEncoder* encoder, TCOMP type, const uint8_t* data,
                                     size_t size, uint8_t* record) const {
  uint8_t* body = record + CabFormat::DataSize + FReserve;
  size_t encoded = size;
  if (type == tcompTYPE_MSZIP)
    encoded = encoder->Encode(data, size, body);
  else
    std::memcpy(body, data, size);
  CabFormat::PutU16At(record + 4, uint16_t(encoded));
  CabFormat::PutU16At(record + 6, uint16_t(size));
  std::memset(record + CabFormat::DataSize, 0, FReserve);
  CabFormat::PutU32At(record,
                      CabFormat::DataBlockChecksum(record + 4, 4 + FReserve, body, encoded));
  return CabFormat::DataSize + FReserve + encoded;
}

TCabBlockEncoder::~TCabBlockEncoder() {
  Wait();
}

void TCabBlockEncoder::Start(TCOMP type, const uint8_t* data, size_t size) {
  Wait();
  const size_t blocks = (size + BlockSize - 1) / BlockSize;
  FLengths.assign(blocks, 0);
  if (blocks == 0)
    return;
  if (FRecords.size() < blocks * FSlotSize)
    FRecords.resize(blocks * FSlotSize);
  const size_t threads = ThreadCount(blocks);
  while (type == tcompTYPE_MSZIP && FEncoders.size() < threads)
    FEncoders.push_back(std::make_unique<TMszipEncoder>());

  FNext = 0;
  auto work = [this, type, data, size, blocks](TMszipEncoder* encoder) {
    for (size_t i = FNext++; i < blocks; i = FNext++) {
      const size_t offset = i * BlockSize;
      FLengths[i] = EncodeBlock(encoder, type, data + offset, std::min(BlockSize, size - offset),
                                FRecords.data() + i * FSlotSize);
    }
  };
  for (size_t worker = 0; worker < threads; ++worker) {
    TMszipEncoder* encoder = type == tcompTYPE_MSZIP ? FEncoders[worker].get() : nullptr;
    try {
      FWorkers.emplace_back(work, encoder);
    } catch (const std::system_error&) {
      if (FWorkers.empty())
        work(encoder); // no thread at all: the caller encodes, only slower
      break;
    }
  }
}

void TCabBlockEncoder::Wait() {
  for (std::thread& worker : FWorkers)
    worker.join();
  FWorkers.clear();
}
