#include "cab/u_CabMszip.h"

#include "cab/u_CabFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#ifndef FOLIOSET_NO_ISAL
#include <isa-l/igzip_lib.h>
#endif
#include <new>
#include <zlib.h>

namespace {
// zlib's default level and memory: the sizes other cabinet tools produce.
constexpr int DeflateLevel = 6;
constexpr int DeflateMemLevel = 8;
// Raw deflate (no zlib header) with the full 32 KiB window.
constexpr int RawDeflateWindowBits = -15;
constexpr uint8_t SignatureC = 'C';
constexpr uint8_t SignatureK = 'K';
// A final stored deflate block: the header byte, LEN and its complement NLEN.
constexpr uint8_t StoredFinalBlockHeader = 0x01;
constexpr size_t StoredHeaderSize = 5;
// A block is stored without deflating it only where deflate has next to nothing to gain, so
// that what storing loses stays within 1 % of what deflate would give:
// - every 8 KiB of it carries 7.93 bits of information per byte or more (compressed images
//   and archives), so Huffman codes could save at most 0.9 % on any stretch deflate codes with
//   one table, less the tables themselves (some 130 bytes each);
// - fewer than 1 in 400 of its bytes repeat earlier bytes of the block, so matches could save
//   at most 0.25 %. A block that repeats a random chunk looks random byte by byte but halves.
// The tests cost a tenth of deflating random-looking bytes, which zlib does slowly.
constexpr double HighEntropyBitsPerByte = 7.93;
constexpr size_t EntropyPieceSize = 8192;
constexpr size_t MaxStoredRepeatShare = 400;
// The repeat scan: runs of at least MinRepeat bytes found through one remembered position per
// hash of their first four bytes, as deflate's quickest levels find them.
constexpr size_t MinRepeat = 4;
constexpr int RepeatHashBits = 14;

// Order-0 entropy of the bytes in bits per byte.
double BitsPerByte(const uint8_t* data, size_t size) {
  // Four tables keep consecutive equal bytes from waiting on each other's counts.
  uint32_t counts[4][256] = {};
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    ++counts[0][data[i]];
    ++counts[1][data[i + 1]];
    ++counts[2][data[i + 2]];
    ++counts[3][data[i + 3]];
  }
  for (; i < size; ++i)
    ++counts[0][data[i]];
  double bits = 0;
  for (int byte = 0; byte < 256; ++byte) {
    const uint32_t count = counts[0][byte] + counts[1][byte] + counts[2][byte] + counts[3][byte];
    if (count) {
      const double share = double(count) / double(size);
      bits -= share * std::log2(share);
    }
  }
  return bits;
}

bool EveryPieceHighEntropy(const uint8_t* data, size_t size) {
  for (size_t at = 0; at < size; at += EntropyPieceSize)
    if (BitsPerByte(data + at, std::min(EntropyPieceSize, size - at)) < HighEntropyBitsPerByte)
      return false;
  return size > 0;
}

// Bytes of the block that repeat earlier bytes of it (at most 32 KiB, so positions fit the
// table's 16 bits). A hash never seen points at position 0: comparing its bytes costs less
// than telling that case apart, and a match there is a true repeat all the same.
size_t RepeatedBytes(const uint8_t* data, size_t size) {
  uint16_t lastSeen[size_t(1) << RepeatHashBits] = {};
  size_t repeated = 0;
  for (size_t i = 0; i + MinRepeat <= size;) {
    uint32_t word;
    std::memcpy(&word, data + i, 4);
    const uint32_t hash = (word * 2654435761u) >> (32 - RepeatHashBits);
    const size_t earlier = lastSeen[hash];
    lastSeen[hash] = uint16_t(i);
    uint32_t earlierWord;
    std::memcpy(&earlierWord, data + earlier, 4);
    if (__builtin_expect(earlierWord != word || earlier >= i, 1)) {
      ++i;
      continue;
    }
    size_t length = MinRepeat;
    while (i + length < size && data[earlier + length] == data[i + length])
      ++length;
    repeated += length;
    i += length;
  }
  return repeated;
}

bool NothingToGain(const uint8_t* data, size_t size) {
  return EveryPieceHighEntropy(data, size) &&
         RepeatedBytes(data, size) * MaxStoredRepeatShare < size;
}

} // namespace

TMszipEncoder::TMszipEncoder() : FStream(std::make_unique<z_stream_s>()) {
  if (deflateInit2(FStream.get(), DeflateLevel, Z_DEFLATED, RawDeflateWindowBits, DeflateMemLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
}

TMszipEncoder::~TMszipEncoder() {
  deflateEnd(FStream.get());
}

bool TMszipEncoder::Deflate(const uint8_t* data, size_t size, uint8_t* out, size_t capacity,
                            size_t& written) {
  if (NothingToGain(data, size))
    return false;
  z_stream_s& z = *FStream;
  deflateReset(&z);
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = uInt(size);
  z.next_out = out;
  z.avail_out = uInt(capacity);
  if (deflate(&z, Z_FINISH) != Z_STREAM_END)
    return false;
  written = z.total_out;
  return true;
}

size_t TMszipEncoder::Encode(const uint8_t* data, size_t size, uint8_t* out) {
  out[0] = SignatureC;
  out[1] = SignatureK;
  uint8_t* body = out + CabFormat::MszipSignatureSize;
  // Room for exactly the stored form: deflate output that does not fit would not be smaller.
  size_t deflated = 0;
  if (Deflate(data, size, body, size + StoredHeaderSize, deflated))
    return CabFormat::MszipSignatureSize + deflated;
  body[0] = StoredFinalBlockHeader;
  TByteWriter lengths(body + 1, 4); // LEN and NLEN of the stored block
  lengths.U16(uint16_t(size));
  lengths.U16(uint16_t(~size));
  std::memcpy(body + StoredHeaderSize, data, size);
  return CabFormat::MszipSignatureSize + StoredHeaderSize + size;
}

#ifdef FOLIOSET_NO_ISAL
TMszipDecoder::TMszipDecoder(size_t slots)
    : FState(std::make_unique<z_stream_s>()), FStrict(std::make_unique<z_stream_s>()),
      FSlots(std::max<size_t>(slots, 2) * CabFormat::MaxBlockUncompressed),
      FJoined(CabFormat::MaxBlockUncompressed), FSlotCount(std::max<size_t>(slots, 2)) {
  if (inflateInit2(FState.get(), RawDeflateWindowBits) != Z_OK)
    throw std::bad_alloc();
  if (inflateInit2(FStrict.get(), RawDeflateWindowBits) != Z_OK) {
    inflateEnd(FState.get());
    throw std::bad_alloc();
  }
}

TMszipDecoder::~TMszipDecoder() {
  inflateEnd(FState.get());
  inflateEnd(FStrict.get());
}

bool TMszipDecoder::Inflate(const uint8_t* data, size_t size, uint8_t* out, size_t outputSize,
                            const uint8_t* history, size_t historySize) {
  if (outputSize > CabFormat::MaxBlockUncompressed || size < CabFormat::MszipSignatureSize ||
      data[0] != SignatureC || data[1] != SignatureK)
    return false;
  // As tolerant as ISA-L: bytes after the final block are left, and a block whose final-block
  // bit is missing ends where its input does, with no byte beyond its output.
  z_stream_s& z = *FState;
  if (inflateReset(&z) != Z_OK ||
      (historySize > 0 && inflateSetDictionary(&z, history, uInt(historySize)) != Z_OK))
    return false;
  z.next_in = const_cast<uint8_t*>(data + CabFormat::MszipSignatureSize);
  z.avail_in = uInt(size - CabFormat::MszipSignatureSize);
  z.next_out = out;
  z.avail_out = uInt(outputSize);
  const int status = inflate(&z, Z_SYNC_FLUSH);
  if (status == Z_STREAM_END || z.avail_out != 0 || (status != Z_OK && status != Z_BUF_ERROR))
    return status == Z_STREAM_END && z.avail_out == 0;
  uint8_t beyond = 0;
  z.next_out = &beyond;
  z.avail_out = 1;
  const int rest = inflate(&z, Z_SYNC_FLUSH);
  return (rest == Z_OK || rest == Z_BUF_ERROR || rest == Z_STREAM_END) && z.avail_out == 1 &&
         z.avail_in == 0;
}

bool TMszipDecoder::InflateAlone(const uint8_t* data, size_t size, uint8_t* out,
                                 size_t outputSize) {
  // Without history, a block that reaches back fails as too far back.
  return Inflate(data, size, out, outputSize, nullptr, 0);
}
#else
TMszipDecoder::TMszipDecoder(size_t slots)
    : FState(std::make_unique<inflate_state>()), FStrict(std::make_unique<z_stream_s>()),
      FSlots(std::max<size_t>(slots, 2) * CabFormat::MaxBlockUncompressed),
      FJoined(CabFormat::MaxBlockUncompressed), FSlotCount(std::max<size_t>(slots, 2)) {
  isal_inflate_init(FState.get());
  if (inflateInit2(FStrict.get(), RawDeflateWindowBits) != Z_OK)
    throw std::bad_alloc();
}

TMszipDecoder::~TMszipDecoder() {
  inflateEnd(FStrict.get());
}

bool TMszipDecoder::Inflate(const uint8_t* data, size_t size, uint8_t* out, size_t outputSize,
                            const uint8_t* history, size_t historySize) {
  if (outputSize > CabFormat::MaxBlockUncompressed || size < CabFormat::MszipSignatureSize ||
      data[0] != SignatureC || data[1] != SignatureK)
    return false;

  inflate_state& state = *FState;
  isal_inflate_reset(&state);
  if (historySize > 0 && isal_inflate_set_dict(&state, const_cast<uint8_t*>(history),
                                               uint32_t(historySize)) != COMP_OK)
    return false;
  state.next_in = const_cast<uint8_t*>(data + CabFormat::MszipSignatureSize);
  state.avail_in = uint32_t(size - CabFormat::MszipSignatureSize);
  state.next_out = out;
  state.avail_out = uint32_t(outputSize);
  if (isal_inflate(&state) != ISAL_DECOMP_OK || state.avail_out != 0)
    return false;
  if (state.block_state != ISAL_BLOCK_FINISH) {
    // Some compressors leave out the final-block bit of a block's last deflate block; all
    // input used and no byte beyond the block's output is as good as the end of the stream.
    uint8_t beyond = 0;
    state.next_out = &beyond;
    state.avail_out = 1;
    if (isal_inflate(&state) != ISAL_DECOMP_OK || state.avail_out == 0 || state.avail_in != 0)
      return false;
  }
  return true;
}

bool TMszipDecoder::InflateAlone(const uint8_t* data, size_t size, uint8_t* out,
                                 size_t outputSize) {
  if (size < CabFormat::MszipSignatureSize || data[0] != SignatureC || data[1] != SignatureK)
    return false;
  // One call for the whole block: keeping a copy of the window for a next call, as the
  // streaming inflater does, would cost another 32 KiB copy a block.
  inflate_state& state = *FState;
  isal_inflate_reset(&state);
  state.next_in = const_cast<uint8_t*>(data + CabFormat::MszipSignatureSize);
  state.avail_in = uint32_t(size - CabFormat::MszipSignatureSize);
  state.next_out = out;
  state.avail_out = uint32_t(outputSize);
  return isal_inflate_stateless(&state) == ISAL_DECOMP_OK && state.avail_out == 0;
}
#endif

void TMszipDecoder::Reset() {
  FOutput = nullptr;
  FOutputSize = 0;
  FHistory = nullptr;
  FHistorySize = 0;
  FBlocksStandAlone = true;
}

void TMszipDecoder::AdvanceHistory() {
  constexpr size_t Window = CabFormat::MaxBlockUncompressed;
  if (FOutputSize == Window) {
    FHistory = FOutput;
    FHistorySize = Window;
    return;
  }
  // The last 32 KiB of the folder's output: the tail of the old history, then the short block.
  const size_t keep = std::min(FHistorySize, Window - FOutputSize);
  if (keep > 0)
    std::memmove(FJoined.data(), FHistory + FHistorySize - keep, keep);
  if (FOutputSize > 0)
    std::memcpy(FJoined.data() + keep, FOutput, FOutputSize);
  FHistory = FJoined.data();
  FHistorySize = keep + FOutputSize;
}

bool TMszipDecoder::Decode(const uint8_t* data, size_t size, size_t outputSize) {
  if (FOutput)
    AdvanceHistory();
  FSlot = (FSlot + 1) % FSlotCount;
  FOutput = FSlots.data() + FSlot * CabFormat::MaxBlockUncompressed;
  FOutputSize = 0;
  // Handing the decoder the history copies it, 32 KiB a block, and blocks that stand alone
  // (all this program writes) never read it: they are decoded without it first. Decoding
  // fails at once where a block reaches back into it, so the first block of a folder that
  // does is decoded again with it, and so are all that follow.
  if (FBlocksStandAlone && InflateAlone(data, size, FOutput, outputSize)) {
    FOutputSize = outputSize;
    return true;
  }
  if (!Inflate(data, size, FOutput, outputSize, FHistory, FHistorySize))
    return false;
  FBlocksStandAlone = FHistorySize == 0;
  FOutputSize = outputSize;
  return true;
}

bool TMszipDecoder::Reproduces(const uint8_t* data, size_t size, const uint8_t* expected,
                               size_t expectedSize, const uint8_t* history, size_t historySize) {
  // Decoding tolerates blocks that other readers refuse (no final-block bit, bytes after the
  // final block, incomplete codes); a block taken into a new cabinet must be one they accept,
  // so the check is zlib's, the strictest of them. One byte of room beyond the expected
  // output tells a block that gives more.
  if (expectedSize > CabFormat::MaxBlockUncompressed || size < CabFormat::MszipSignatureSize ||
      data[0] != SignatureC || data[1] != SignatureK)
    return false;
  FCheck.resize(CabFormat::MaxBlockUncompressed + 1);
  z_stream_s& z = *FStrict;
  if (inflateReset(&z) != Z_OK ||
      (historySize > 0 && inflateSetDictionary(&z, history, uInt(historySize)) != Z_OK))
    return false;
  z.next_in = const_cast<uint8_t*>(data + CabFormat::MszipSignatureSize);
  z.avail_in = uInt(size - CabFormat::MszipSignatureSize);
  z.next_out = FCheck.data();
  z.avail_out = uInt(FCheck.size());
  return inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_in == 0 && z.total_out == expectedSize &&
         std::memcmp(FCheck.data(), expected, expectedSize) == 0;
}
