#pragma once
// Test support for the cabinet engine: packing and unpacking in memory with failures to order,
// a builder for hand-made cabinets (history-using MSZIP, spanned, damaged), and running the
// independent cabinet tools.

#include "cab/u_CabFormat.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

class TCabPreviousFolder;
class TStream;

struct TMemberInfo {
  uint16_t date = 0x5A21; // 2025-01-01
  uint16_t time = 0x6000; // 12:00:00
  uint16_t attribs = 0x20;
};

struct TMember {
  std::string name;
  std::string content;
  TMemberInfo info{};
};

// The streams of one pack or unpack, all in memory, and what to make fail.
struct TMemoryStreams {
  // Failure injection: reading the members (or the cabinet) fails after this many bytes,
  // writing the spool after this many; no spool piece can be made; writing the cabinet or an
  // extracted member fails; the sink refuses to begin a member.
  int64_t readBudget = -1;
  int64_t writeBudget = -1;
  bool failSpool = false;
  bool failCabinet = false;
  bool failTarget = false;
  bool failBegin = false;
  // What happened: spool pieces made and still there, every seek (offset, origin), the most
  // bytes the spool and the cabinet held at once.
  int piecesMade = 0;
  std::set<const TStream*> live;
  std::vector<std::pair<int64_t, int>> seeks;
  size_t peakBytes = 0;
};

struct TPackOptions {
  CabFormat::TCabCompression type = CabFormat::TCabCompression::Mszip;
  uint32_t folderThreshold = 0x7FFFFFFF;
  const TCabPreviousFolder* previous = nullptr;
};

// Packs members into a cabinet through streams; failures raise EMFSCabSystemError.
std::string Pack(const std::vector<TMember>& members, const TPackOptions& options = {},
                 TMemoryStreams* streams = nullptr);

struct TExtracted {
  std::string content;
  uint16_t date = 0, time = 0, attribs = 0;
};

// Unpacks every member of cabinet into files; the error code (0 on success), files holding
// the members extracted whole before a failure. message receives the failure's text.
int32_t UnpackInto(const std::string& cabinet, std::map<std::string, TExtracted>& files,
                   TMemoryStreams* streams = nullptr, std::string* message = nullptr);
std::map<std::string, TExtracted> Unpack(const std::string& cabinet);
// The error code of unpacking cabinet (0 on success).
int32_t UnpackError(const std::string& cabinet);

// A cabinet written field by field, for inputs the engine's own writer never makes.
struct TBuiltBlock {
  std::string data;       // uncompressed bytes
  bool useHistory = true; // MSZIP: compress against the previous 32 KiB of the folder
  bool stored = false;    // MSZIP: write a stored deflate block
  std::string encoded;    // MSZIP: when set, the block's bytes as they are ("CK" and all)
};
struct TBuiltFolder {
  CabFormat::TCabCompression type = CabFormat::TCabCompression::Mszip;
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
