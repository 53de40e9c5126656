#include "cab/u_CabMszip.h"

#include "cab/u_CabFormat.h"

#include <cstring>
#include <new>
#include <zlib.h>
#ifdef FOLIOSET_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {
#ifdef FOLIOSET_HAVE_LIBDEFLATE
// libdeflate's default level: as small as zlib's default or smaller, at about twice the speed.
constexpr int LibdeflateLevel = 6;
#else
// zlib's default level: the sizes other cabinet tools produce.
constexpr int DeflateLevel = 6;
constexpr int DeflateMemLevel = 8;
#endif
// Raw deflate (no zlib header) with the full 32 KiB window.
constexpr int RawDeflateWindowBits = -15;
constexpr uint8_t SignatureC = 'C';
constexpr uint8_t SignatureK = 'K';
// A final stored deflate block: the header byte, LEN and its complement NLEN.
constexpr uint8_t StoredFinalBlockHeader = 0x01;
constexpr size_t StoredHeaderSize = 5;
} // namespace

#ifdef FOLIOSET_HAVE_LIBDEFLATE

TMszipEncoder::TMszipEncoder() : FLibdeflate(libdeflate_alloc_compressor(LibdeflateLevel)) {
  if (!FLibdeflate)
    throw std::bad_alloc();
}

TMszipEncoder::~TMszipEncoder() {
  libdeflate_free_compressor(FLibdeflate);
}

bool TMszipEncoder::Deflate(const uint8_t* data, size_t size, uint8_t* out, size_t capacity,
                            size_t& written) {
  written = libdeflate_deflate_compress(FLibdeflate, data, size, out, capacity);
  return written != 0;
}

#else

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

#endif

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
