#pragma once
// The Microsoft Cabinet format on disk: record sizes, flags, limits, the data block checksum and
// its records, each described once for reading and writing.

#include "common/u_ByteView.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace CabFormat {

constexpr uint32_t Signature = 0x4643534D; // "MSCF"
constexpr uint8_t VersionMinor = 3;
constexpr uint8_t VersionMajor = 1;

// Fixed parts of the records; reserved areas and names follow them.
constexpr size_t HeaderSize = 36;       // CFHEADER up to and including iCabinet
constexpr size_t HeaderReserveSize = 4; // cbCFHeader, cbCFFolder, cbCFData when reserve present
constexpr size_t FolderSize = 8;        // CFFOLDER
constexpr size_t FileSize = 16;         // CFFILE before its name
constexpr size_t DataSize = 8;          // CFDATA before its reserve and data

// CFHEADER flags.
constexpr uint16_t FlagPrevCabinet = 0x0001;
constexpr uint16_t FlagNextCabinet = 0x0002;
constexpr uint16_t FlagReservePresent = 0x0004;

// Compression of a folder's blocks: the low four bits of CFFOLDER's typeCompress.
enum class TCabCompression : uint16_t { Stored = 0, Mszip = 1 };
constexpr uint16_t CompressionTypeMask = 0x000F;

// Special folder indices of a file entry whose data crosses a cabinet boundary.
constexpr uint16_t FolderContinuedFromPrev = 0xFFFD;
constexpr uint16_t FolderContinuedToNext = 0xFFFE;
constexpr uint16_t FolderContinuedPrevAndNext = 0xFFFF;

// A data block expands to at most 32 KiB; MSZIP frames are sized to that window.
constexpr size_t MaxBlockUncompressed = 32768;
// The format's bound for a compressed block: 32 KiB plus the 6 KiB a compressor may overshoot.
constexpr size_t MaxBlockCompressed = 32768 + 6144;
// The two bytes "CK" that open every MSZIP block.
constexpr size_t MszipSignatureSize = 2;
// Names (files, cabinets, disks) are at most 255 bytes before their terminating zero.
constexpr size_t MaxNameLength = 255;
// The header's reserve sizes are 16-bit (header) and 8-bit (folder, data) fields; the format
// caps the header reserve at 60000 bytes.
constexpr size_t MaxHeaderReserve = 60000;
// A folder holds at most 65535 data blocks (16-bit count).
constexpr size_t MaxFolderBlocks = 0xFFFF;
// Counts of folders and files are 16-bit.
constexpr size_t MaxFolders = 0xFFFF;
constexpr size_t MaxFiles = 0xFFFF;
// Largest uncompressed folder: offsets are 32-bit and the folder must end below 2 GiB minus a
// block, the limit other cabinet tools also keep.
constexpr uint64_t MaxFolderUncompressed = 0x7FFF8000;

// The data block checksum: XOR of the little-endian 32-bit words of bytes, with the 1 to 3
// trailing bytes folded in high byte first, started from seed.
uint32_t Checksum(const void* bytes, size_t size, uint32_t seed);

// Checksum of a CFDATA record: its data first, then the fields from cbData through the reserve.
uint32_t DataBlockChecksum(const void* headerFromCbData, size_t headerSize, const void* data,
                           size_t dataSize);

// The records, each described once for reading (through TByteView, so a record cut short
// raises EDamagedData naming the field) and writing: ReadRecord and WriteRecord.
struct THeaderFields { // CFHEADER's first HeaderSize bytes
  uint32_t signature = 0;
  uint32_t cabinetSize = 0;
  uint32_t filesOffset = 0;
  uint8_t versionMinor = 0;
  uint8_t versionMajor = 0;
  uint16_t folders = 0;
  uint16_t files = 0;
  uint16_t flags = 0;
  uint16_t setID = 0;
  uint16_t cabinetIndex = 0;
  bool operator==(const THeaderFields&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.signature, "signature");
    f.Reserved(4, "reserved1");
    f.Field(r.cabinetSize, "cbCabinet");
    f.Reserved(4, "reserved2");
    f.Field(r.filesOffset, "coffFiles");
    f.Reserved(4, "reserved3");
    f.Field(r.versionMinor, "versionMinor");
    f.Field(r.versionMajor, "versionMajor");
    f.Field(r.folders, "cFolders");
    f.Field(r.files, "cFiles");
    f.Field(r.flags, "flags");
    f.Field(r.setID, "setID");
    f.Field(r.cabinetIndex, "iCabinet");
  }
};
struct TReserveSizes { // the HeaderReserveSize bytes after them, with FlagReservePresent
  uint16_t headerReserve = 0;
  uint8_t folderReserve = 0;
  uint8_t dataReserve = 0;
  bool operator==(const TReserveSizes&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.headerReserve, "cbCFHeader");
    f.Field(r.folderReserve, "cbCFFolder");
    f.Field(r.dataReserve, "cbCFData");
  }
};
struct TFolderFields { // CFFOLDER before its reserve
  uint32_t dataOffset = 0;
  uint16_t blocks = 0;
  uint16_t compression = 0;
  bool operator==(const TFolderFields&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.dataOffset, "coffCabStart");
    f.Field(r.blocks, "cCFData");
    f.Field(r.compression, "typeCompress");
  }
};
struct TFileFields { // CFFILE with its name
  uint32_t size = 0;
  uint32_t offset = 0; // in its folder's uncompressed data
  uint16_t folder = 0;
  uint16_t date = 0;
  uint16_t time = 0;
  uint16_t attribs = 0;
  std::string name;
  bool operator==(const TFileFields&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.size, "cbFile");
    f.Field(r.offset, "uoffFolderStart");
    f.Field(r.folder, "iFolder");
    f.Field(r.date, "date");
    f.Field(r.time, "time");
    f.Field(r.attribs, "attribs");
    f.Text(r.name, MaxNameLength, "szName");
  }
};
struct TDataFields { // CFDATA before its reserve
  uint32_t checksum = 0;
  uint16_t encodedSize = 0;
  uint16_t outputSize = 0;
  bool operator==(const TDataFields&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.checksum, "csum");
    f.Field(r.encodedSize, "cbData");
    f.Field(r.outputSize, "cbUncomp");
  }
};

// Writes a CFDATA record without reserve for encodedSize bytes at data from outputSize bytes,
// with its checksum, into record (DataSize bytes).
void WriteDataRecord(uint8_t* record, const uint8_t* data, uint16_t encodedSize,
                     uint16_t outputSize);

} // namespace CabFormat
