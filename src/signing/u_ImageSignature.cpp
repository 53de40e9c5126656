#include "signing/u_ImageSignature.h"

#include "signing/u_CertificateTable.h"
#include "signing/u_ImageDigest.h"
#include "signing/u_SignatureCheck.h"
#include "signing/u_SigningError.h"

#include <cstring>
#include <map>

TImageSignature ReadImageSignature(TByteView image, const TTrustStore& trust) {
  return ReadImageSignature(
      image,
      [&](uint64_t offset, uint8_t* into, size_t count) {
        std::memcpy(into, image.Bytes(offset, count, "signed image"), count);
      },
      trust);
}

TImageSignature ReadImageSignature(TByteView image, const TImageReader& read,
                                   const TTrustStore& trust) {
  TImageSignature result;
  TImageHeaders headers;
  try {
    headers = ReadImageHeaders(image);
  } catch (const Exception&) {
    return result;
  }
  if (headers.DirectoryCount <= ddSecurity || headers.Directories[ddSecurity].Size == 0)
    return result;
  result.Signed = true;
  const TDataDirectory& table = headers.Directories[ddSecurity];
  try {
    if (!image.Contains(table.VirtualAddress, table.Size))
      throw ESigningError("the certificate table lies outside the file");
    const TByteView tableBytes = image.Part(table.VirtualAddress, table.Size, "certificate table");
    const std::string_view der = SignedDataOf(tableBytes);
    // A second record (another signature, or anything else) is covered by no signature.
    if (AlignUp(uint32_t(WinCertHeaderSize + der.size()), CertificateTableAlignment) != table.Size)
      throw ESigningError("the certificate table holds more than the signature");
    if (uint64_t(table.VirtualAddress) + table.Size != image.Size())
      throw ESigningError("bytes follow the signature that it does not cover");
    // Nested signatures may hash the image with another algorithm; each is hashed once.
    std::map<std::string, std::string> digests;
    const std::vector<TImageRange> ranges = ImageDigestRanges(headers, table.VirtualAddress);
    const TImageDigestOf digestOf = [&](const std::string& name) -> const std::string& {
      const auto [at, added] = digests.try_emplace(name);
      if (added)
        at->second = ImageDigest(ranges, name, read);
      return at->second;
    };
    static_cast<TSignatureVerdict&>(result) =
        VerifySignedData(der, digestOf, trust, &result.Nested);
  } catch (const Exception& e) {
    result.Problem = e.Message();
  }
  return result;
}

TImageSignature ReadImageSignature(TByteView image, const TImageReader& read,
                                   const TTrustStore* trust) {
  const auto judge = [&](const TTrustStore& roots) {
    return read ? ReadImageSignature(image, read, roots) : ReadImageSignature(image, roots);
  };
  return trust ? judge(*trust) : judge(TTrustStore({}, std::time(nullptr)));
}
