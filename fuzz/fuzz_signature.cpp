// Images through the reader of an Authenticode signature: the certificate table, the PKCS#7
// SignedData, its Authenticode content, signer, chain, time stamp and nested signatures, and
// the image digest.

#include "signing/u_ImageSignature.h"
#include "signing/u_SignatureCheck.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TTrustStore trust({}, 0);
  const TImageSignature signature = ReadImageSignature(TByteView(data, size), trust);
  // Whatever is not valid and trusted says why; a trusted signature names its root.
  const bool trusted = signature.State == TSignatureState::Trusted;
  if (signature.Signed && trusted != signature.Problem.empty())
    std::abort();
  if (trusted && signature.TrustedBy.empty())
    std::abort();
  return 0;
}
