#include "signing/u_SpcIndirectData.h"

#include "common/u_ByteView.h"
#include "common/u_SysUtils.h"
#include "signing/u_OpenSSL.h"
#include "signing/u_SigningError.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <unicode/ustring.h>

namespace {
constexpr uint8_t TagOctetString = 0x04;
constexpr uint8_t TagNull = 0x05;
constexpr uint8_t TagSequence = 0x30;
constexpr uint8_t TagContext0 = 0xA0;
constexpr uint8_t TagContext1 = 0xA1;
constexpr uint8_t TagImplicit0 = 0x80;
// The SpcPeImageData every signer writes: no flags, and the file link the format requires,
// an empty Unicode string.
constexpr uint8_t PeImageData[] = {0x30, 0x09, 0x03, 0x01, 0x00, 0xA0, 0x04,
                                   0xA2, 0x02, 0x80, 0x00};

std::string Tlv(uint8_t tag, std::string_view content) {
  std::string out(1, char(tag));
  const size_t length = content.size();
  if (length < 0x80) {
    out += char(length);
  } else {
    std::string bytes;
    for (size_t l = length; l != 0; l >>= 8)
      bytes.insert(bytes.begin(), char(l & 0xFF));
    out += char(0x80 | bytes.size());
    out += bytes;
  }
  out.append(content);
  return out;
}

std::string OidDer(const char* dotted) {
  const TAsn1Object object(OBJ_txt2obj(dotted, 1));
  if (!object)
    throw ESigningError(Format("unknown object identifier %s", dotted));
  return DerOf(object.get(), i2d_ASN1_OBJECT);
}

// AlgorithmIdentifier with NULL parameters, as signers write it for a digest.
std::string DigestAlgorithmDer(const std::string& digestName) {
  const EVP_MD* md = EVP_get_digestbyname(digestName.c_str());
  if (!md)
    throw ESigningError(Format("the digest %s is not available", digestName.c_str()));
  const ASN1_OBJECT* object = OBJ_nid2obj(EVP_MD_get_type(md));
  return Tlv(TagSequence, DerOf(object, i2d_ASN1_OBJECT) +
                              std::string{char(TagNull), '\0'});
}

// The DER elements of bytes one after another, each read through the checked reader.
class TDerReader {
public:
  explicit TDerReader(std::string_view bytes) : FView(ByteViewOf(bytes)), FCursor(FView) {}
  bool AtEnd() const { return FCursor.Position() == FView.Size(); }
  // The next element's tag and content, and its whole encoding; raises ESigningError naming
  // what when it is not in DER or runs past the bytes there are.
  uint8_t Next(std::string_view& content, std::string_view& whole, const char* what) {
    try {
      return Read(content, whole, what);
    } catch (const EDamagedData& e) {
      throw ESigningError(Format("the signature's %s is damaged: %s", what, e.Message().c_str()));
    }
  }

private:
  uint8_t Read(std::string_view& content, std::string_view& whole, const char* what) {
    const uint64_t start = FCursor.Position();
    const uint8_t tag = FCursor.U8(what);
    uint32_t length = FCursor.U8(what);
    // In the long form that many bytes of length follow; none (indefinite) is not DER, nor is
    // a tag number of several bytes in these structures.
    const uint32_t count = length & 0x80 ? length & 0x7F : 0;
    if ((tag & 0x1F) == 0x1F || length == 0x80 || count > 4)
      throw EDamagedData(
          Format("%s is not in DER at offset %llu", what, (unsigned long long)start));
    if (count > 0)
      length = 0;
    for (uint32_t i = 0; i < count; ++i)
      length = length << 8 | FCursor.U8(what);
    content = TextOf(FCursor.Take(length, what));
    whole = TextOf(FView.Part(start, FCursor.Position() - start, what));
    return tag;
  }
  static std::string_view TextOf(TByteView view) {
    return std::string_view(reinterpret_cast<const char*>(view.Bytes(0, view.Size(), "")),
                            size_t(view.Size()));
  }

  TByteView FView;
  TByteCursor FCursor;
};

// The content of the element der begins with, which must have the tag wanted.
std::string_view ContentOf(std::string_view der, uint8_t wanted, const char* what) {
  std::string_view content, whole;
  if (TDerReader(der).Next(content, whole, what) != wanted)
    throw ESigningError(Format(wanted == TagSequence ? "the signature's %s is not a DER sequence"
                                                     : "the signature's %s is damaged",
                               what));
  return content;
}

// The elements of a DER SEQUENCE, each as its whole encoding; raises when der is not one.
std::vector<std::string_view> SequenceElements(std::string_view der, const char* what) {
  TDerReader reader(ContentOf(der, TagSequence, what));
  std::vector<std::string_view> elements;
  while (!reader.AtEnd()) {
    std::string_view content, whole;
    reader.Next(content, whole, what);
    elements.push_back(whole);
  }
  return elements;
}

std::string Utf16BigEndian(const std::string& utf8) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, utf8.data(), int32_t(utf8.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
    throw ESigningError("the program name given for the signature is not UTF-8");
  std::u16string wide(size_t(length), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8(wide.data(), length, nullptr, utf8.data(), int32_t(utf8.size()), &status);
  if (U_FAILURE(status))
    throw ESigningError("the program name given for the signature is not UTF-8");
  std::string out;
  for (char16_t c : wide) {
    out += char(c >> 8);
    out += char(c & 0xFF);
  }
  return out;
}
} // namespace

std::string IndirectDataDer(const std::string& digestName, std::string_view digest) {
  const std::string data =
      Tlv(TagSequence, OidDer(SpcPeImageDataOid) +
                           std::string(reinterpret_cast<const char*>(PeImageData),
                                       sizeof PeImageData));
  const std::string digestInfo =
      Tlv(TagSequence, DigestAlgorithmDer(digestName) + Tlv(TagOctetString, digest));
  return Tlv(TagSequence, data + digestInfo);
}

TIndirectData ReadIndirectData(std::string_view der) {
  const auto content = SequenceElements(der, "indirect data");
  if (content.size() < 2)
    throw ESigningError("the signature's indirect data has no digest");
  const auto data = SequenceElements(content[0], "indirect data type");
  if (data.empty() || data[0] != OidDer(SpcPeImageDataOid))
    throw ESigningError("the signature is not one of a PE image");
  const auto digestInfo = SequenceElements(content[1], "digest");
  if (digestInfo.size() != 2)
    throw ESigningError("the signature's digest is damaged");
  const auto algorithm = SequenceElements(digestInfo[0], "digest algorithm");
  if (algorithm.empty())
    throw ESigningError("the signature's digest algorithm is damaged");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(algorithm[0].data());
  const TAsn1Object object(d2i_ASN1_OBJECT(nullptr, &p, long(algorithm[0].size())));
  const EVP_MD* md = object ? EVP_get_digestbyobj(object.get()) : nullptr;
  if (!md)
    throw ESigningError("the signature's digest algorithm is unknown");
  TIndirectData result;
  result.DigestName = EVP_MD_get0_name(md);
  result.Digest = std::string(ContentOf(digestInfo[1], TagOctetString, "digest"));
  return result;
}

std::string_view IndirectDataContentOctets(std::string_view der) {
  return ContentOf(der, TagSequence, "indirect data");
}

std::string OpusInfoDer(const std::string& programName, const std::string& url) {
  std::string content;
  if (!programName.empty())
    content += Tlv(TagContext0, Tlv(TagImplicit0, Utf16BigEndian(programName)));
  if (!url.empty()) {
    for (char c : url)
      if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20)
        throw ESigningError("the link given for the signature must be plain ASCII");
    content += Tlv(TagContext1, Tlv(TagImplicit0, url));
  }
  return Tlv(TagSequence, content);
}

std::string StatementTypeDer() {
  return Tlv(TagSequence, OidDer(SpcIndividualCodeSigningOid));
}
