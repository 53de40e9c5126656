#include "cab/u_CabMszip.h"

#include "cab/u_CabFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
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
// Bytes that already carry 7.9 bits of information each (compressed images and archives)
// leave Huffman coding at most 1.25 % to gain, less its tables: they are worth deflate's slow
// effort only when they repeat, which a fast deflate finds in a fraction of the time.
constexpr double HighEntropyBitsPerByte = 7.9;
// The fast trial: libdeflate's quickest level still codes literals by Huffman and finds nearby
// repeats, so a block it cannot shrink below the stored form has nothing to give the slow one.
constexpr int TrialLevel = 1;

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

} // namespace

TMszipEncoder::TMszipEncoder()
    : FStream(std::make_unique<z_stream_s>()),
      FTrial(MszipEncodedCapacity(CabFormat::MaxBlockUncompressed)) {
  FTrialCompressor = libdeflate_alloc_compressor(TrialLevel);
  if (!FTrialCompressor)
    throw std::bad_alloc();
  if (deflateInit2(FStream.get(), DeflateLevel, Z_DEFLATED, RawDeflateWindowBits, DeflateMemLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    libdeflate_free_compressor(FTrialCompressor);
    throw std::bad_alloc();
  }
}

TMszipEncoder::~TMszipEncoder() {
  deflateEnd(FStream.get());
  libdeflate_free_compressor(FTrialCompressor);
}

bool TMszipEncoder::Deflate(const uint8_t* data, size_t size, uint8_t* out, size_t capacity,
                            size_t& written) {
  // Random-looking bytes are deflated for real only when the fast trial shrinks them: a block
  // that repeats a random chunk looks random byte by byte but halves.
  size_t trial = 0;
  if (size > 0 && BitsPerByte(data, size) > HighEntropyBitsPerByte) {
    trial = libdeflate_deflate_compress(FTrialCompressor, data, size, FTrial.data(), capacity);
    if (trial == 0)
      return false;
  }
  z_stream_s& z = *FStream;
  deflateReset(&z);
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = uInt(size);
  z.next_out = out;
  z.avail_out = uInt(capacity);
  const bool deflated = deflate(&z, Z_FINISH) == Z_STREAM_END;
  written = deflated ? z.total_out : capacity;
  if (trial > 0 && trial < written) {
    std::memcpy(out, FTrial.data(), trial);
    written = trial;
  }
  return deflated || trial > 0;
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
  CabFormat::PutU16At(body + 1, uint16_t(size));
  CabFormat::PutU16At(body + 3, uint16_t(~size));
  std::memcpy(body + StoredHeaderSize, data, size);
  return CabFormat::MszipSignatureSize + StoredHeaderSize + size;
}

TMszipDecoder::TMszipDecoder()
    : FState(std::make_unique<inflate_state>()), FSlots(2 * CabFormat::MaxBlockUncompressed),
      FJoined(CabFormat::MaxBlockUncompressed) {
  isal_inflate_init(FState.get());
}

TMszipDecoder::~TMszipDecoder() = default;

void TMszipDecoder::Reset() {
  FOutput = nullptr;
  FOutputSize = 0;
  FHistory = nullptr;
  FHistorySize = 0;
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
  FSlot ^= 1;
  FOutput = FSlots.data() + FSlot * CabFormat::MaxBlockUncompressed;
  FOutputSize = 0;
  if (outputSize > CabFormat::MaxBlockUncompressed || size < CabFormat::MszipSignatureSize ||
      data[0] != SignatureC || data[1] != SignatureK)
    return false;

  inflate_state& state = *FState;
  isal_inflate_reset(&state);
  if (FHistorySize > 0 && isal_inflate_set_dict(&state, const_cast<uint8_t*>(FHistory),
                                                uint32_t(FHistorySize)) != COMP_OK)
    return false;
  state.next_in = const_cast<uint8_t*>(data + CabFormat::MszipSignatureSize);
  state.avail_in = uint32_t(size - CabFormat::MszipSignatureSize);
  state.next_out = FOutput;
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
  FOutputSize = outputSize;
  return true;
}
