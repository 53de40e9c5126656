#pragma once
// The Authenticode image digest: what of a PE image a signature covers, and its hash.

#include "resources/vexTools.h"

#include <cstdint>
#include <string>
#include <vector>

struct TImageRange {
  uint64_t Offset = 0;
  uint64_t Count = 0;
  bool operator==(const TImageRange&) const = default;
};

// The parts of the image the digest covers, in the order they are hashed: the headers up to
// SizeOfHeaders without the CheckSum field and the certificate-table entry; each section's raw
// data in file order; then what follows the last section up to hashedEnd (where the
// certificate table begins, or the end of the file). Raises ESigningError for headers too
// short to hold the certificate-table entry, or parts that lie past hashedEnd.
std::vector<TImageRange> ImageDigestRanges(const TImageHeaders& headers, uint64_t hashedEnd);

// Whether the ranges, with the two fields left out, cover every byte before hashedEnd once.
// Verifiers differ over bytes the ranges leave out or count twice, so only such an image is
// signed.
bool RangesCoverImage(const std::vector<TImageRange>& ranges, const TImageHeaders& headers,
                      uint64_t hashedEnd);

// The digest (digestName as OpenSSL knows it, "SHA256") of the ranges, read through read.
std::string ImageDigest(const std::vector<TImageRange>& ranges, const std::string& digestName,
                        const TImageReader& read);

// Raises ESigningError for an image (headers as finally written, length bytes before the
// certificate table) whose parts verifiers would hash differently: it cannot be signed.
void CheckImageSignable(const TImageHeaders& headers, uint64_t length);
