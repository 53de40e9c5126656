#pragma once
// What the Authenticode signature of an image says: whether there is one, who signed, whether
// it still matches the image, and its time stamp.

#include "common/u_ByteView.h"
#include "resources/vexTools.h"

#include <string>

struct TImageSignature {
  bool Signed = false;   // the image has a certificate table
  bool Matches = false;  // the signature is sound and its digest is the image's
  std::string Subject;   // the signer's certificate subject, one line; empty when unreadable
  std::string Issuer;    // its issuer
  std::string TimeStamp; // the time-stamp token's time, "2026-12-07T18:52:51Z"; empty for none
  std::string Problem;   // why it does not match, when it does not
};

// Reads and checks the signature of a PE image. Trust in the signer's certificate is the
// system's matter and not judged here. An image that is no PE32 image is unsigned.
// Budget: the signature is decoded once (memory a small multiple of its size); time is the
// image's digest, linear in its size, and only for a signed image.
TImageSignature ReadImageSignature(TByteView image);
// The same, the digest reading the image's bytes through read: for an image whose big part is
// not in memory, where image holds zeros instead.
TImageSignature ReadImageSignature(TByteView image, const TImageReader& read);
