#pragma once
// Test support for the cabinet engine: files in memory behind the library's callbacks, packing
// and unpacking through them, a builder for hand-made cabinets (history-using MSZIP, spanned,
// damaged), and running the independent cabinet tools.

#include "cab/CabIntf.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct TMemoryFileInfo {
  uint16_t date = 0x5A21; // 2025-01-01
  uint16_t time = 0x6000; // 12:00:00
  uint16_t attribs = 0x20;
};

// Files by name; every engine callback works on the disk made current by TUseDisk.
struct TMemoryDisk {
  std::map<std::string, std::string> files;
  std::map<std::string, TMemoryFileInfo> info;
  // Every seek the engine asked for: (distance, origin).
  std::vector<std::pair<int32_t, int32_t>> seeks;
  int openHandles = 0;
  int tempNames = 0;
  // The most bytes all files held at once while the packer wrote.
  size_t peakBytes = 0;
  // Failure injection: an open of this name fails; reads/writes fail after this many bytes.
  std::string failOpenOf;
  int64_t readBudget = -1;
  int64_t writeBudget = -1;
  bool failTempName = false;
  int32_t abortStatusKind = -1;
  // Notify answers of the unpacker.
  bool abortOnCabinetInfo = false;
  bool acceptNextCabinet = false;
  std::vector<int> notifications;
};

// Makes a disk current for the callbacks for the lifetime of the object.
class TUseDisk {
public:
  explicit TUseDisk(TMemoryDisk& disk);
  ~TUseDisk();
};

struct TMember {
  std::string name;
  std::string content;
  TMemoryFileInfo info{};
};

class TCabPreviousFolder;

// Packs members into disk.files[cabinet] with FCI; on failure returns the error record. The
// first folder may take over blocks of previous.
bool PackCabinet(TMemoryDisk& disk, const std::vector<TMember>& members, const std::string& cabinet,
                 ERF& error, TCOMP type = tcompTYPE_MSZIP, uint32_t folderThreshold = 0x7FFFFFFF,
                 const TCabPreviousFolder* previous = nullptr);

struct TExtracted {
  std::string content;
  uint16_t date = 0, time = 0, attribs = 0;
  bool execute = false;
};

// Unpacks every file of disk.files[cabinet] with FDI into the result; false with the error
// record filled on failure.
bool UnpackCabinet(TMemoryDisk& disk, const std::string& cabinet,
                   std::map<std::string, TExtracted>& files, ERF& error);

// Convenience over a fresh disk.
std::string Pack(const std::vector<TMember>& members, TCOMP type = tcompTYPE_MSZIP);
std::map<std::string, TExtracted> Unpack(const std::string& cabinet);
// FDIIsCabinet over bytes.
bool IsCabinet(const std::string& bytes, FDICABINETINFO& info);
// The FDI error code of unpacking cabinet (0 on success).
int32_t UnpackError(const std::string& cabinet);

// A cabinet written field by field, for inputs the engine's own writer never makes.
struct TBuiltBlock {
  std::string data;       // uncompressed bytes
  bool useHistory = true; // MSZIP: compress against the previous 32 KiB of the folder
  bool stored = false;    // MSZIP: write a stored deflate block
  std::string encoded;    // MSZIP: when set, the block's bytes as they are ("CK" and all)
};
struct TBuiltFolder {
  TCOMP type = tcompTYPE_MSZIP;
  std::vector<TBuiltBlock> blocks;
};
struct TBuiltFile {
  std::string name;
  uint32_t size = 0;
  uint32_t offset = 0;
  uint16_t folder = 0;
  uint16_t date = 0x5A21, time = 0x6000, attribs = 0x20;
};
struct TCabBuilder {
  std::vector<TBuiltFolder> folders;
  std::vector<TBuiltFile> files;
  std::string prevCabinet, prevDisk, nextCabinet, nextDisk;
  uint16_t headerReserve = 0;
  uint8_t folderReserve = 0, dataReserve = 0;
  bool forceReserveFlag = false;

  // Adds one file as its own MSZIP folder cut into 32 KiB blocks.
  void AddFileFolder(const std::string& name, const std::string& content, bool useHistory);
  std::string Build() const;
};

// Offsets of the records in a built or written cabinet, for tests that damage them.
struct TCabLayout {
  uint32_t filesOffset;
  uint16_t folders, files;
  std::vector<uint32_t> folderOffsets;    // of each CFFOLDER record
  std::vector<uint32_t> dataOffsets;      // of each CFDATA record, all folders in order
  std::vector<uint16_t> dataCompressed;   // their cbData
  std::vector<uint16_t> dataUncompressed; // their cbUncomp
};
TCabLayout ReadLayout(const std::string& cabinet);

// Mixed bytes: words of text, random bytes and zeros, deterministic for a seed.
std::string MixedData(size_t size, uint32_t seed);
std::string TextData(size_t size, uint32_t seed);
std::string RandomData(size_t size, uint32_t seed);

// Independent tools.
bool HaveTool(const std::string& name);
// Runs a shell command; returns its exit status and fills output with stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);

// A folder on disk removed with its contents at the end.
class TTempFolder {
public:
  TTempFolder();
  ~TTempFolder();
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

private:
  std::string FPath;
};
