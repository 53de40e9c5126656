#include "cab/u_CabBlockEncoder.h"

#include "cab/u_CabFormat.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

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

void TCabBlockEncoder::Encode(TCOMP type, const uint8_t* data, size_t size) {
  const size_t blocks = (size + BlockSize - 1) / BlockSize;
  FLengths.assign(blocks, 0);
  if (blocks == 0)
    return;
  if (FRecords.size() < blocks * FSlotSize)
    FRecords.resize(blocks * FSlotSize);
  const size_t threads = ThreadCount(blocks);
  while (type == tcompTYPE_MSZIP && FEncoders.size() < threads)
    FEncoders.push_back(std::make_unique<TMszipEncoder>());

  std::atomic<size_t> next{0};
  auto work = [&](TMszipEncoder* encoder) {
    for (size_t i = next++; i < blocks; i = next++) {
      const size_t offset = i * BlockSize;
      FLengths[i] = EncodeBlock(encoder, type, data + offset, std::min(BlockSize, size - offset),
                                FRecords.data() + i * FSlotSize);
    }
  };
  auto encoderFor = [&](size_t worker) {
    return type == tcompTYPE_MSZIP ? FEncoders[worker].get() : nullptr;
  };
  std::vector<std::thread> helpers;
  for (size_t worker = 1; worker < threads && type == tcompTYPE_MSZIP; ++worker) {
    try {
      helpers.emplace_back(work, encoderFor(worker));
    } catch (const std::system_error&) {
      break; // fewer threads only make it slower
    }
  }
  work(encoderFor(0));
  for (auto& helper : helpers)
    helper.join();
}
