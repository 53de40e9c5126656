#pragma once
// What the Authenticode signature of an image says: whether there is one, who signed, whether
// it is sound and trusted, its time stamp and the signatures nested in it.

#include "common/u_ByteView.h"
#include "resources/vexTools.h"
#include "signing/u_SignatureVerdict.h"

#include <vector>

class TTrustStore;

struct TImageSignature : TSignatureVerdict {
  bool Signed = false; // the image has a certificate table
  // Signatures nested in this one; State is no better than theirs.
  std::vector<TSignatureVerdict> Nested;
};

// Reads and judges the signature of a PE image against the roots of trust. An image that is
// no PE32 image is unsigned.
// Budget: the signature is decoded once (memory a small multiple of its size); time is the
// image's digest, linear in its size, once for each digest algorithm its signatures use.
TImageSignature ReadImageSignature(TByteView image, const TTrustStore& trust);
// The same, the digest reading the image's bytes through read: for an image whose big part is
// not in memory, where image holds zeros instead.
TImageSignature ReadImageSignature(TByteView image, const TImageReader& read,
                                   const TTrustStore& trust);
// The same against trust, or when it is null the system's roots at this moment; with read
// empty, the image's bytes are all in image.
TImageSignature ReadImageSignature(TByteView image, const TImageReader& read,
                                   const TTrustStore* trust);
