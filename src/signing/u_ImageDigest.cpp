#include "signing/u_ImageDigest.h"

#include "signing/u_OpenSSL.h"
#include "signing/u_SigningError.h"

#include <algorithm>

namespace {
constexpr uint64_t DirectoryEntrySize = 8;
constexpr uint64_t CheckSumSize = 4;
// Read in pieces of this size, so that hashing a big image holds little of it at once.
constexpr size_t ReadPiece = 1 << 20;

void AddRange(std::vector<TImageRange>& ranges, uint64_t from, uint64_t to) {
  if (to > from)
    ranges.push_back({from, to - from});
}
} // namespace

std::vector<TImageRange> ImageDigestRanges(const TImageHeaders& headers, uint64_t hashedEnd) {
  const uint64_t checkSum = headers.CheckSumOffset();
  const uint64_t entry = headers.DirectoryEntryOffset(ddSecurity);
  const uint64_t headersEnd = headers.SizeOfHeaders;
  if (headers.DirectoryCount <= ddSecurity || entry + DirectoryEntrySize > headersEnd)
    throw ESigningError("the image's headers have no certificate-table entry");
  if (headersEnd > hashedEnd)
    throw ESigningError("the image's headers reach past its end");
  std::vector<TImageRange> ranges;
  AddRange(ranges, 0, checkSum);
  AddRange(ranges, checkSum + CheckSumSize, entry);
  AddRange(ranges, entry + DirectoryEntrySize, headersEnd);

  std::vector<const TSectionHeader*> sections;
  for (const TSectionHeader& s : headers.Sections)
    if (s.SizeOfRawData != 0)
      sections.push_back(&s);
  std::stable_sort(sections.begin(), sections.end(),
                   [](const TSectionHeader* a, const TSectionHeader* b) {
                     return a->PointerToRawData < b->PointerToRawData;
                   });
  uint64_t lastEnd = headersEnd;
  for (const TSectionHeader* s : sections) {
    const uint64_t end = uint64_t(s->PointerToRawData) + s->SizeOfRawData;
    if (end > hashedEnd)
      throw ESigningError(Format("section \"%s\" reaches past the end of the image",
                                 s->Name.c_str()));
    ranges.push_back({s->PointerToRawData, s->SizeOfRawData});
    lastEnd = std::max(lastEnd, end);
  }
  AddRange(ranges, lastEnd, hashedEnd);
  return ranges;
}

bool RangesCoverImage(const std::vector<TImageRange>& ranges, const TImageHeaders& headers,
                      uint64_t hashedEnd) {
  const uint64_t gaps[][2] = {{headers.CheckSumOffset(), CheckSumSize},
                              {headers.DirectoryEntryOffset(ddSecurity), DirectoryEntrySize}};
  uint64_t next = 0;
  for (const TImageRange& range : ranges) {
    for (const auto& gap : gaps)
      if (next == gap[0])
        next += gap[1];
    if (range.Offset != next)
      return false;
    next += range.Count;
  }
  return next == hashedEnd;
}

std::string ImageDigest(const std::vector<TImageRange>& ranges, const std::string& digestName,
                        const TImageReader& read) {
  const EVP_MD* md = EVP_get_digestbyname(digestName.c_str());
  const TMdContext context(EVP_MD_CTX_new());
  if (!md || !context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1)
    throw ESigningError(Format("the digest %s is not available", digestName.c_str()));
  std::vector<uint8_t> piece;
  for (const TImageRange& range : ranges)
    for (uint64_t done = 0; done < range.Count;) {
      const size_t n = size_t(std::min<uint64_t>(range.Count - done, ReadPiece));
      piece.resize(n);
      read(range.Offset + done, piece.data(), n);
      EVP_DigestUpdate(context.get(), piece.data(), n);
      done += n;
    }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

void CheckImageSignable(const TImageHeaders& headers, uint64_t length) {
  if (!RangesCoverImage(ImageDigestRanges(headers, length), headers, length))
    throw ESigningError("the image's sections leave gaps or overlap in the file, which "
                        "verifiers hash differently; it cannot be signed");
}
