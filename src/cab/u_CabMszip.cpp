#include "cab/u_CabMszip.h"

#include "cab/u_CabFormat.h"

#include <cstring>
#include <new>
#include <zlib.h>

namespace {
// zlib's default level: the sizes other cabinet tools produce, at a speed that parallel
// blocks make up for.
constexpr int DeflateLevel = 6;
// Raw deflate (no zlib header) with the full 32 KiB window.
constexpr int RawDeflateWindowBits = -15;
constexpr int DeflateMemLevel = 8;
constexpr uint8_t SignatureC = 'C';
constexpr uint8_t SignatureK = 'K';
// A final stored deflate block: the header byte, LEN and its complement NLEN.
constexpr uint8_t StoredFinalBlockHeader = 0x01;
constexpr size_t StoredHeaderSize = 5;
} // namespace

TMszipEncoder::TMszipEncoder() : FStream(std::make_unique<z_stream_s>()) {
  if (deflateInit2(FStream.get(), DeflateLevel, Z_DEFLATED, RawDeflateWindowBits, DeflateMemLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
}

TMszipEncoder::~TMszipEncoder() {
  deflateEnd(FStream.get());
}

size_t TMszipEncoder::Encode(const uint8_t* data, size_t size, uint8_t* out) {
  out[0] = SignatureC;
  out[1] = SignatureK;
  z_stream_s& z = *FStream;
  deflateReset(&z);
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = uInt(size);
  z.next_out = out + CabFormat::MszipSignatureSize;
  // Room for exactly the stored form: deflate output that does not fit would not be smaller.
  z.avail_out = uInt(size + StoredHeaderSize);
  if (deflate(&z, Z_FINISH) == Z_STREAM_END)
    return CabFormat::MszipSignatureSize + z.total_out;
  uint8_t* stored = out + CabFormat::MszipSignatureSize;
  stored[0] = StoredFinalBlockHeader;
  CabFormat::PutU16At(stored + 1, uint16_t(size));
  CabFormat::PutU16At(stored + 3, uint16_t(~size));
  std::memcpy(stored + StoredHeaderSize, data, size);
  return CabFormat::MszipSignatureSize + StoredHeaderSize + size;
}

TMszipDecoder::TMszipDecoder()
    : FStream(std::make_unique<z_stream_s>()), FWindow(2 * CabFormat::MaxBlockUncompressed) {
  if (inflateInit2(FStream.get(), RawDeflateWindowBits) != Z_OK)
    throw std::bad_alloc();
}

TMszipDecoder::~TMszipDecoder() {
  inflateEnd(FStream.get());
}

void TMszipDecoder::Reset() {
  FHistory = 0;
  FOutput = 0;
}

bool TMszipDecoder::Decode(const uint8_t* data, size_t size, size_t outputSize) {
  // The last 32 KiB of everything decoded so far in the folder become the history.
  const size_t filled = FHistory + FOutput;
  const size_t keep = std::min(filled, CabFormat::MaxBlockUncompressed);
  std::memmove(FWindow.data(), FWindow.data() + filled - keep, keep);
  FHistory = keep;
  FOutput = 0;
  if (outputSize > CabFormat::MaxBlockUncompressed || size < CabFormat::MszipSignatureSize ||
      data[0] != SignatureC || data[1] != SignatureK)
    return false;

  z_stream_s& z = *FStream;
  inflateReset(&z);
  if (FHistory > 0 && inflateSetDictionary(&z, FWindow.data(), uInt(FHistory)) != Z_OK)
    return false;
  z.next_in = const_cast<uint8_t*>(data + CabFormat::MszipSignatureSize);
  z.avail_in = uInt(size - CabFormat::MszipSignatureSize);
  z.next_out = FWindow.data() + FHistory;
  z.avail_out = uInt(outputSize);
  const int result = inflate(&z, Z_FINISH);
  // Some compressors leave out the final-block bit of a block's last deflate block; all input
  // used and the full output made is as good as the end of the stream.
  const bool complete = result == Z_STREAM_END || (result == Z_BUF_ERROR && z.avail_in == 0);
  if (!complete || z.avail_out != 0)
    return false;
  FOutput = outputSize;
  return true;
}
