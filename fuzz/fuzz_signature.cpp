// Images through the reader of an Authenticode signature: the certificate table, the PKCS#7
// SignedData, its Authenticode content, signer and time stamp, and the image digest.

#include "signing/u_ImageSignature.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TImageSignature signature = ReadImageSignature(TByteView(data, size));
  // A signature that matches was read whole; one that does not says why.
  if (signature.Matches && (!signature.Signed || !signature.Problem.empty()))
    std::abort();
  if (signature.Signed && !signature.Matches && signature.Problem.empty())
    std::abort();
  return 0;
}
