#pragma once
// Locating and reading the image headers of a PE32 file, alignment, and the image checksum.
// Every field of the file is read through TByteView (common/u_ByteView).

#include "common/u_ByteView.h"
#include "resources/vexTypes.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Data-directory indexes used by name.
enum TDataDirectoryIndex {
  ddExport = 0,
  ddImport = 1,
  ddResource = 2,
  ddException = 3,
  ddSecurity = 4,
  ddBaseReloc = 5,
  ddDebug = 6,
  ddGlobalPtr = 8,
  ddTls = 9,
  ddLoadConfig = 10,
  ddBoundImport = 11,
  ddIat = 12,
  ddDelayImport = 13,
  ddClr = 14,
};
inline constexpr int DataDirectoryCount = 16;
// Every file offset in a PE32 image is 32 bits wide, so no image's sections reach past 4 GiB;
// a bigger file is no image that could be read or rewritten, and is refused before it is read
// (where memory is addressed in 32 bits, the browser's, what it can address).
inline constexpr uint64_t MaxImageFileSize = std::min<uint64_t>(uint64_t(4) << 30, SIZE_MAX);
inline constexpr uint32_t SectionHeaderSize = 40;
inline constexpr uint32_t DebugDirectoryEntrySize = 28;
// A signature's certificate table starts, and each of its records is padded, on an 8-byte
// boundary.
inline constexpr uint32_t CertificateTableAlignment = 8;

// A little-endian field of a header record: its offset from the start of the record and the
// name an error gives it. The offsets below are written once and serve reading and writing.
struct THeaderField {
  uint32_t Offset;
  const char* Name;
};

// The PE32 fields, by offset from the NT headers: the signature (4 bytes), the file header
// (20), then the optional header.
namespace NtField {
inline constexpr uint32_t FileHeader = 4;
inline constexpr uint32_t OptionalHeader = 24;
inline constexpr THeaderField NumberOfSections{FileHeader + 2, "NumberOfSections"};
inline constexpr THeaderField PointerToSymbolTable{FileHeader + 8, "PointerToSymbolTable"};
inline constexpr THeaderField SizeOfOptionalHeader{FileHeader + 16, "SizeOfOptionalHeader"};
inline constexpr THeaderField Magic{OptionalHeader, "optional header magic"};
inline constexpr THeaderField SizeOfInitializedData{OptionalHeader + 8, "SizeOfInitializedData"};
inline constexpr THeaderField AddressOfEntryPoint{OptionalHeader + 16, "AddressOfEntryPoint"};
inline constexpr THeaderField ImageBase{OptionalHeader + 28, "ImageBase"};
inline constexpr THeaderField SectionAlignment{OptionalHeader + 32, "SectionAlignment"};
inline constexpr THeaderField FileAlignment{OptionalHeader + 36, "FileAlignment"};
inline constexpr THeaderField SizeOfImage{OptionalHeader + 56, "SizeOfImage"};
inline constexpr THeaderField SizeOfHeaders{OptionalHeader + 60, "SizeOfHeaders"};
inline constexpr THeaderField CheckSum{OptionalHeader + 64, "CheckSum"};
inline constexpr THeaderField NumberOfRvaAndSizes{OptionalHeader + 92, "NumberOfRvaAndSizes"};
// The data directories follow the optional header's fixed fields, 8 bytes each.
inline constexpr uint32_t OptionalHeaderFixedSize = 96;
inline constexpr uint32_t DataDirectories = OptionalHeader + OptionalHeaderFixedSize;
inline constexpr uint32_t DataDirectorySize = 8;
} // namespace NtField

// The fields of a data directory entry, by offset from the entry.
namespace DataDirectoryField {
inline constexpr THeaderField VirtualAddress{0, "data directory"};
inline constexpr THeaderField Size{4, "data directory"};
} // namespace DataDirectoryField

// The fields of a section header, by offset from the header.
namespace SectionField {
inline constexpr THeaderField Name{0, "section name"};
inline constexpr uint32_t NameSize = 8;
inline constexpr THeaderField VirtualSize{8, "VirtualSize"};
inline constexpr THeaderField VirtualAddress{12, "VirtualAddress"};
inline constexpr THeaderField SizeOfRawData{16, "SizeOfRawData"};
inline constexpr THeaderField PointerToRawData{20, "PointerToRawData"};
inline constexpr THeaderField PointerToRelocations{24, "PointerToRelocations"};
inline constexpr THeaderField PointerToLinenumbers{28, "PointerToLinenumbers"};
} // namespace SectionField

// The fields of a debug directory entry the rewriter corrects, by offset from the entry.
namespace DebugEntryField {
inline constexpr THeaderField AddressOfRawData{20, "debug directory entry"};
inline constexpr THeaderField PointerToRawData{24, "debug directory entry"};
} // namespace DebugEntryField

struct TDataDirectory {
  uint32_t VirtualAddress = 0;
  uint32_t Size = 0;
};

struct TSectionHeader {
  std::string Name;
  uint32_t VirtualSize = 0;
  uint32_t VirtualAddress = 0;
  uint32_t SizeOfRawData = 0;
  uint32_t PointerToRawData = 0;
  uint32_t PointerToRelocations = 0;
  uint32_t PointerToLinenumbers = 0;
  // The extent in memory; linkers that leave VirtualSize 0 mean the raw size.
  uint32_t MemorySize() const { return VirtualSize ? VirtualSize : SizeOfRawData; }
  bool HoldsRva(uint32_t rva) const {
    return rva >= VirtualAddress && rva - VirtualAddress < MemorySize();
  }
};

// The fields of a PE32 image's headers that the rewriter reads or corrects.
struct TImageHeaders {
  uint32_t NtOffset = 0;
  uint32_t PointerToSymbolTable = 0;
  uint32_t SizeOfInitializedData = 0;
  uint32_t AddressOfEntryPoint = 0;
  uint32_t ImageBase = 0;
  uint32_t SectionAlignment = 0;
  uint32_t FileAlignment = 0;
  uint32_t SizeOfImage = 0;
  uint32_t SizeOfHeaders = 0;
  uint32_t CheckSum = 0;
  uint32_t DirectoryCount = 0; // entries present, at most DataDirectoryCount
  TDataDirectory Directories[DataDirectoryCount];
  uint32_t SectionTableOffset = 0;
  std::vector<TSectionHeader> Sections;

  uint32_t CheckSumOffset() const { return NtOffset + NtField::CheckSum.Offset; }
  // Where data-directory entry index lies in the file.
  uint32_t DirectoryEntryOffset(int index) const {
    return NtOffset + NtField::DataDirectories + NtField::DataDirectorySize * index;
  }
  // End of the section table: everything the headers occupy.
  uint32_t HeadersEnd() const {
    return SectionTableOffset + uint32_t(Sections.size()) * SectionHeaderSize;
  }
  // Index of the section holding rva in memory, or -1.
  int SectionOfRva(uint32_t rva) const;
  // The section whose VirtualAddress equals the resource directory's address, or -1.
  int ResourceSection() const;
};

// The offset of the NT headers in the image, or -1 when the first two bytes are unreadable or
// either signature ("MZ", "PE\0\0") does not match.
int64_t GetImageNtHeaders(TByteView image);

// Reads and checks the headers of a PE32 image; a file that is no PE32 image, a PE32+ image,
// or headers that run past the end raise EDamagedData naming the cause.
// Budget: about 2 bytes of memory per byte of section table (at most 65535 sections, the
// field's width); time linear in the headers.
TImageHeaders ReadImageHeaders(TByteView image);

// Writes the correctable fields of headers back into the header bytes of an image (bytes must
// hold at least headers.HeadersEnd() bytes).
void StoreImageHeaders(const TImageHeaders& headers, uint8_t* bytes, uint64_t size);

// The smallest multiple of alignment not below value, in unsigned 32-bit arithmetic.
uint32_t AlignUp(uint32_t value, uint32_t alignment);

// The standard PE image checksum, fed in pieces: 16-bit little-endian words added with the
// carry folded back after each addition, then the file length added.
class TImageChecksum {
public:
  void Add(const uint8_t* bytes, uint64_t count);
  // The folded sum of the words so far; a waiting odd byte counts as a word's low half.
  uint16_t WordSum() const;
  uint32_t Finish(uint64_t fileLength) const;

private:
  uint32_t FSum = 0;
  bool FHasOddByte = false; // an odd byte waits for its high half from the next piece
  uint8_t FOddByte = 0;
};

// Reads count bytes at offset of an image into into; raises when they are not all there.
using TImageReader = std::function<void(uint64_t offset, uint8_t* into, size_t count)>;

// A run of a file's bytes at its offset in the file; without bytes, a run of zeros.
struct TFilePiece {
  uint64_t Offset = 0;
  const uint8_t* Bytes = nullptr;
  uint64_t Count = 0;
  bool Mapped = false; // part of a shared file mapping: its pages are let go once summed
};

// A 32-bit little-endian field of a file, written over its bytes after they are in place.
struct TFilePatch {
  uint64_t Offset = 0;
  uint32_t Value = 0;
};

// The standard checksum of a file of length bytes that is put together from pieces, so that it
// need not be read back: the pieces cover the file, each byte once, in any order; the patches,
// in file order and apart from each other, are written over them afterwards; the CheckSum field
// at checkSumOffset counts as 0. Each byte counts once, as the file finally holds it. Pieces and
// patches that describe no such file raise EVexError.
uint32_t ImageChecksumOfPieces(std::vector<TFilePiece> pieces,
                               const std::vector<TFilePatch>& patches, uint64_t length,
                               uint64_t checkSumOffset);
