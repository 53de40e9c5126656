#include "cab/u_CabMszip.h"

#include "cab/u_CabFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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
// leave Huffman coding at most 1.25 % to gain, less its tables; deflate spends its slowest
// effort on them for a few bytes a block, so they are stored without trying.
constexpr double IncompressibleBitsPerByte = 7.9;

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
  if (size > 0 && BitsPerByte(data, size) > IncompressibleBitsPerByte)
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
  CabFormat::PutU16At(body + 1, uint16_t(size));
  CabFormat::PutU16At(body + 3, uint16_t(~size));
  std::memcpy(body + StoredHeaderSize, data, size);
  return CabFormat::MszipSignatureSize + StoredHeaderSize + size;
}

TMszipDecoder::TMszipDecoder()
    : FStream(std::make_unique<z_stream_s>()), FSlots(2 * CabFormat::MaxBlockUncompressed),
      FJoined(CabFormat::MaxBlockUncompressed) {
  if (inflateInit2(FStream.get(), RawDeflateWindowBits) != Z_OK)
    throw std::bad_alloc();
}

TMszipDecoder::~TMszipDecoder() {
  inflateEnd(FStream.get());
}

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

  z_stream_s& z = *FStream;
  inflateReset(&z);
  if (FHistorySize > 0 && inflateSetDictionary(&z, FHistory, uInt(FHistorySize)) != Z_OK)
    return false;
  z.next_in = const_cast<uint8_t*>(data + CabFormat::MszipSignatureSize);
  z.avail_in = uInt(size - CabFormat::MszipSignatureSize);
  z.next_out = FOutput;
  z.avail_out = uInt(outputSize);
  const int result = inflate(&z, Z_FINISH);
  // Some compressors leave out the final-block bit of a block's last deflate block; all input
  // used and the full output made is as good as the end of the stream.
  const bool complete = result == Z_STREAM_END || (result == Z_BUF_ERROR && z.avail_in == 0);
  if (!complete || z.avail_out != 0)
    return false;
  FOutputSize = outputSize;
  return true;
}
