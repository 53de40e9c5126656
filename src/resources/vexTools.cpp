#include "resources/vexTools.h"

#include "common/u_FileIO.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint16_t PE32Magic = 0x10B;
constexpr uint16_t PE32PlusMagic = 0x20B;
// Windows accepts alignments up to 64 KiB; anything larger comes from a damaged header.
constexpr uint32_t MaxAlignment = 0x10000;

[[noreturn]] void BadImage(const std::string& cause) {
  throw EDamagedData(cause);
}

uint16_t Read16(TByteView image, uint64_t record, THeaderField field) {
  return image.U16(record + field.Offset, field.Name);
}

uint32_t Read32(TByteView image, uint64_t record, THeaderField field) {
  return image.U32(record + field.Offset, field.Name);
}

void Store32(uint8_t* bytes, uint64_t size, uint64_t record, THeaderField field, uint32_t value) {
  const uint64_t offset = record + field.Offset;
  if (offset > size || size - offset < 4)
    throw EVexError(EINVAL, "header field outside the header bytes");
  for (int i = 0; i < 4; ++i)
    bytes[offset + uint64_t(i)] = uint8_t(value >> (8 * i));
}

uint64_t DirectoryEntry(uint32_t ntOffset, uint32_t index) {
  return ntOffset + uint64_t(NtField::DataDirectories) +
         uint64_t(NtField::DataDirectorySize) * index;
}

bool IsPowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

} // namespace

int TImageHeaders::SectionOfRva(uint32_t rva) const {
  for (size_t i = 0; i < Sections.size(); ++i)
    if (Sections[i].HoldsRva(rva))
      return int(i);
  return -1;
}

int TImageHeaders::ResourceSection() const {
  if (DirectoryCount <= ddResource || Directories[ddResource].VirtualAddress == 0)
    return -1;
  for (size_t i = 0; i < Sections.size(); ++i)
    if (Sections[i].VirtualAddress == Directories[ddResource].VirtualAddress)
      return int(i);
  return -1;
}

int64_t GetImageNtHeaders(TByteView image) {
  if (!image.Contains(0, 0x40) || image.U16(0, "DOS signature") != 0x5A4D)
    return -1;
  const uint32_t nt = image.U32(0x3C, "NT header offset");
  if (!image.Contains(nt, 4) || image.U32(nt, "PE signature") != 0x00004550)
    return -1;
  return nt;
}

TImageHeaders ReadImageHeaders(TByteView image) {
  TImageHeaders h;
  if (!image.Contains(0, 2) || image.U16(0, "DOS signature") != 0x5A4D)
    BadImage("not an executable image: the file does not begin with \"MZ\"");
  const int64_t nt = GetImageNtHeaders(image);
  if (nt < 0)
    BadImage("not a PE image: no \"PE\" signature where the DOS header points");
  h.NtOffset = uint32_t(nt);
  const uint64_t ntHeaders = h.NtOffset;
  const uint16_t sectionCount = Read16(image, ntHeaders, NtField::NumberOfSections);
  h.PointerToSymbolTable = Read32(image, ntHeaders, NtField::PointerToSymbolTable);
  const uint16_t optionalSize = Read16(image, ntHeaders, NtField::SizeOfOptionalHeader);
  const uint16_t magic = Read16(image, ntHeaders, NtField::Magic);
  if (magic == PE32PlusMagic)
    BadImage("PE32+ (64-bit) image: only 32-bit (PE32) images are supported");
  if (magic != PE32Magic)
    BadImage(Format("not a PE32 image: optional header magic 0x%X", unsigned(magic)));
  if (optionalSize < NtField::OptionalHeaderFixedSize)
    BadImage(Format("SizeOfOptionalHeader %u is too small for a PE32 image", optionalSize));
  h.SizeOfInitializedData = Read32(image, ntHeaders, NtField::SizeOfInitializedData);
  h.AddressOfEntryPoint = Read32(image, ntHeaders, NtField::AddressOfEntryPoint);
  h.ImageBase = Read32(image, ntHeaders, NtField::ImageBase);
  h.SectionAlignment = Read32(image, ntHeaders, NtField::SectionAlignment);
  h.FileAlignment = Read32(image, ntHeaders, NtField::FileAlignment);
  h.SizeOfImage = Read32(image, ntHeaders, NtField::SizeOfImage);
  h.SizeOfHeaders = Read32(image, ntHeaders, NtField::SizeOfHeaders);
  h.CheckSum = Read32(image, ntHeaders, NtField::CheckSum);
  const uint32_t rvaCount = Read32(image, ntHeaders, NtField::NumberOfRvaAndSizes);
  if (!IsPowerOfTwo(h.FileAlignment) || h.FileAlignment > MaxAlignment)
    BadImage(Format("FileAlignment 0x%X is not a power of two up to 64 KiB", h.FileAlignment));
  if (!IsPowerOfTwo(h.SectionAlignment) || h.SectionAlignment > MaxAlignment)
    BadImage(
        Format("SectionAlignment 0x%X is not a power of two up to 64 KiB", h.SectionAlignment));
  // Entries beyond the sixteenth are ignored by the loader; entries the optional header has no
  // room for do not exist.
  h.DirectoryCount = std::min<uint32_t>(
      {rvaCount, uint32_t(DataDirectoryCount),
       uint32_t(optionalSize - NtField::OptionalHeaderFixedSize) / NtField::DataDirectorySize});
  for (uint32_t i = 0; i < h.DirectoryCount; ++i) {
    const uint64_t entry = DirectoryEntry(h.NtOffset, i);
    h.Directories[i].VirtualAddress = Read32(image, entry, DataDirectoryField::VirtualAddress);
    h.Directories[i].Size = Read32(image, entry, DataDirectoryField::Size);
  }
  const uint64_t table = ntHeaders + NtField::OptionalHeader + optionalSize;
  image.Bytes(table, uint64_t(sectionCount) * SectionHeaderSize, "section table");
  h.SectionTableOffset = uint32_t(table);
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const uint64_t s = table + uint64_t(i) * SectionHeaderSize;
    TSectionHeader section;
    const uint8_t* name =
        image.Bytes(s + SectionField::Name.Offset, SectionField::NameSize, SectionField::Name.Name);
    section.Name.assign(reinterpret_cast<const char*>(name),
                        strnlen((const char*)name, SectionField::NameSize));
    section.VirtualSize = Read32(image, s, SectionField::VirtualSize);
    section.VirtualAddress = Read32(image, s, SectionField::VirtualAddress);
    section.SizeOfRawData = Read32(image, s, SectionField::SizeOfRawData);
    section.PointerToRawData = Read32(image, s, SectionField::PointerToRawData);
    section.PointerToRelocations = Read32(image, s, SectionField::PointerToRelocations);
    section.PointerToLinenumbers = Read32(image, s, SectionField::PointerToLinenumbers);
    h.Sections.push_back(std::move(section));
  }
  return h;
}

void StoreImageHeaders(const TImageHeaders& h, uint8_t* bytes, uint64_t size) {
  const uint64_t ntHeaders = h.NtOffset;
  Store32(bytes, size, ntHeaders, NtField::PointerToSymbolTable, h.PointerToSymbolTable);
  Store32(bytes, size, ntHeaders, NtField::SizeOfInitializedData, h.SizeOfInitializedData);
  Store32(bytes, size, ntHeaders, NtField::SizeOfImage, h.SizeOfImage);
  Store32(bytes, size, ntHeaders, NtField::CheckSum, h.CheckSum);
  for (uint32_t i = 0; i < h.DirectoryCount; ++i) {
    const uint64_t entry = DirectoryEntry(h.NtOffset, i);
    Store32(bytes, size, entry, DataDirectoryField::VirtualAddress,
            h.Directories[i].VirtualAddress);
    Store32(bytes, size, entry, DataDirectoryField::Size, h.Directories[i].Size);
  }
  for (size_t i = 0; i < h.Sections.size(); ++i) {
    const uint64_t s = h.SectionTableOffset + uint64_t(i) * SectionHeaderSize;
    const TSectionHeader& section = h.Sections[i];
    Store32(bytes, size, s, SectionField::VirtualSize, section.VirtualSize);
    Store32(bytes, size, s, SectionField::VirtualAddress, section.VirtualAddress);
    Store32(bytes, size, s, SectionField::SizeOfRawData, section.SizeOfRawData);
    Store32(bytes, size, s, SectionField::PointerToRawData, section.PointerToRawData);
    Store32(bytes, size, s, SectionField::PointerToRelocations, section.PointerToRelocations);
    Store32(bytes, size, s, SectionField::PointerToLinenumbers, section.PointerToLinenumbers);
  }
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  if (alignment == 0)
    return value;
  return uint32_t((value + alignment - 1) / alignment * alignment);
}

// Folding the carry after every addition gives the same value as adding everything first and
// folding once (both are the sum modulo 0xFFFF, never 0 unless all words are 0), so words are
// summed wide and folded per piece.
static uint32_t Fold(uint64_t sum) {
  while (sum > 0xFFFF)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum);
}

void TImageChecksum::Add(const uint8_t* bytes, uint64_t count) {
  uint64_t i = 0;
  uint64_t sum = FSum;
  if (FHasOddByte && count > 0) {
    sum += uint32_t(FOddByte) | uint32_t(bytes[0]) << 8;
    FHasOddByte = false;
    i = 1;
  }
  // Eight bytes at a time: the four words fall into two 32-bit lanes per accumulator, which
  // take 65536 words each before they could overflow; they are emptied well before that.
  static_assert(std::endian::native == std::endian::little, "words are read as the image's");
  constexpr uint64_t LaneMask = 0x0000FFFF0000FFFFull;
  constexpr uint64_t WordsPerRound = 16384;
  while (count - i >= 8) {
    uint64_t low = 0, high = 0;
    const uint64_t end = i + std::min<uint64_t>((count - i) / 8, WordsPerRound) * 8;
    for (; i < end; i += 8) {
      uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      low += word & LaneMask;
      high += (word >> 16) & LaneMask;
    }
    sum += (low & 0xFFFFFFFF) + (low >> 32) + (high & 0xFFFFFFFF) + (high >> 32);
  }
  for (; i + 1 < count; i += 2)
    sum += uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8;
  if (i < count) {
    FHasOddByte = true;
    FOddByte = bytes[i];
  }
  FSum = Fold(sum);
}

uint16_t TImageChecksum::WordSum() const {
  return uint16_t(Fold(uint64_t(FSum) + (FHasOddByte ? FOddByte : 0)));
}

uint32_t TImageChecksum::Finish(uint64_t fileLength) const {
  // The last word of an odd-length file has a high byte of 0.
  return uint32_t(WordSum() + fileLength);
}

namespace {

// Mapped bytes are summed in windows of this size and let go after each, so that summing a
// whole file through its mapping adds no more than this to the process's resident memory.
constexpr uint64_t MappedWindow = 8 << 20;

// Adds up runs of a file's bytes wherever they lie. A run that starts at an odd offset pairs
// its bytes the other way round than the file's words do; its sum with the bytes swapped is its
// share of the file's sum (the ones'-complement sum is independent of byte order, RFC 1071).
class TRunSum {
public:
  explicit TRunSum(uint64_t checkSumOffset) : FField(checkSumOffset) {}

  // Adds count bytes at offset (zeros when bytes is null), leaving out the CheckSum field.
  void Add(uint64_t offset, const uint8_t* bytes, uint64_t count, bool mapped) {
    if (!bytes || count == 0)
      return;
    const uint64_t end = offset + count, fieldEnd = FField + 4;
    if (offset >= fieldEnd || end <= FField) {
      AddRun(offset, bytes, count, mapped);
      return;
    }
    if (offset < FField)
      AddRun(offset, bytes, FField - offset, mapped);
    if (end > fieldEnd)
      AddRun(fieldEnd, bytes + (fieldEnd - offset), end - fieldEnd, mapped);
  }

  uint16_t Sum() const { return uint16_t(Fold(FTotal)); }

private:
  void AddRun(uint64_t offset, const uint8_t* bytes, uint64_t count, bool mapped) {
    TImageChecksum run;
    for (uint64_t done = 0; done < count;) {
      const uint64_t n = std::min(count - done, MappedWindow);
      run.Add(bytes + done, n);
      if (mapped)
        ReleaseMappedPages(bytes + done, n);
      done += n;
    }
    const uint16_t sum = run.WordSum();
    FTotal += offset % 2 ? uint16_t(sum << 8 | sum >> 8) : sum;
  }

  uint64_t FField;
  uint64_t FTotal = 0; // room for 2^48 runs before it could overflow
};

void CheckPieces(const std::vector<TFilePiece>& sorted, const std::vector<TFilePatch>& patches,
                 uint64_t length) {
  uint64_t covered = 0;
  for (const TFilePiece& piece : sorted) {
    if (piece.Offset != covered || piece.Count > length - covered)
      throw EVexError(EINVAL, "the pieces of the new file do not cover it once");
    covered += piece.Count;
  }
  if (covered != length)
    throw EVexError(EINVAL, "the pieces of the new file do not cover it once");
  uint64_t patched = 0;
  for (const TFilePatch& patch : patches) {
    if (patch.Offset < patched || length < 4 || patch.Offset > length - 4)
      throw EVexError(EINVAL, "the patches of the new file overlap or lie outside it");
    patched = patch.Offset + 4;
  }
}

} // namespace

uint32_t ImageChecksumOfPieces(std::vector<TFilePiece> pieces,
                               const std::vector<TFilePatch>& patches, uint64_t length,
                               uint64_t checkSumOffset) {
  std::sort(pieces.begin(), pieces.end(),
            [](const TFilePiece& a, const TFilePiece& b) { return a.Offset < b.Offset; });
  CheckPieces(pieces, patches, length);
  TRunSum sum(checkSumOffset);
  const auto addPart = [&](const TFilePiece& piece, uint64_t from, uint64_t to) {
    if (from < to)
      sum.Add(from, piece.Bytes ? piece.Bytes + (from - piece.Offset) : nullptr, to - from,
              piece.Mapped);
  };
  // Each piece without the bytes that patches cover; a patch may reach into the next piece.
  size_t next = 0;
  for (const TFilePiece& piece : pieces) {
    const uint64_t end = piece.Offset + piece.Count;
    uint64_t at = piece.Offset;
    for (; next < patches.size() && patches[next].Offset < end; ++next) {
      const uint64_t patchEnd = patches[next].Offset + 4;
      addPart(piece, at, std::max(at, patches[next].Offset));
      at = std::max(at, std::min(end, patchEnd));
      if (patchEnd > end)
        break;
    }
    addPart(piece, at, end);
  }
  for (const TFilePatch& patch : patches) {
    uint8_t value[4];
    TByteWriter(value, sizeof value).U32(patch.Value);
    sum.Add(patch.Offset, value, 4, false);
  }
  return uint32_t(sum.Sum() + length);
}
