// The browser's module has no cryptography library: a book's signature is only seen, not
// judged, and a brand is never signed (the page offers no signing). These stand in for the
// signing subsystem's functions the e-book workflow calls.
#include "signing/u_ImageDigest.h"
#include "signing/u_ImageSignature.h"
#include "signing/u_SignEvent.h"

TImageSignature ReadImageSignature(TByteView image, const TImageReader&, const TTrustStore*) {
  TImageSignature result;
  try {
    const TImageHeaders headers = ReadImageHeaders(image);
    result.Signed =
        headers.DirectoryCount > ddSecurity && headers.Directories[ddSecurity].Size != 0;
  } catch (const Exception&) {
    // no PE32 image: unsigned
  }
  if (result.Signed)
    result.Problem = "the signature is not checked here";
  return result;
}

TImageSignEvent ImageSignEvent(const TCodeSigner* signer) {
  if (signer)
    throw Exception("Signing is not available here");
  return {};
}

void CheckImageSignable(const TImageHeaders&, uint64_t) {
  throw Exception("Signing is not available here");
}
