#include "cab/u_CabReader.h"

#include "cab/CabConsts.h"
#include "cab/u_CabBlockAhead.h"
#include "common/u_ByteView.h"
#include "common/u_Streams.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <numeric>
#include <tuple>

namespace {

// Tables are read through a small buffer; data blocks mostly straight into their own buffer.
constexpr size_t InputBufferSize = 4096;

[[noreturn]] void Fail(int32_t code, const std::string& cause = {}) {
  throw EMFSCabSystemError(false, code, cause);
}

// Runs step, which reads the cabinet's own bytes: a record cut short or a stream that fails
// makes the cabinet corrupt, with the field or the stream's words as the cause.
template <typename Step> auto CabinetRead(Step step) {
  return CabStep(false, crcCorrupt, step);
}

} // namespace

// Reads a cabinet through its stream. Running out of bytes means the cabinet is shorter than
// its records say.
class TCabinetInput {
public:
  explicit TCabinetInput(TStream& stream) : FStream(stream), FBuffer(InputBufferSize) {}

  void SeekTo(uint64_t offset) {
    FBegin = FEnd = 0;
    FPosition = offset;
    FSeekPending = true;
  }
  uint64_t Position() const { return FPosition; }

  // Reads exactly size bytes, or fails naming field.
  void Read(void* out, size_t size, const char* field) {
    auto* to = static_cast<uint8_t*>(out);
    const size_t got = ReadUpTo(to, size);
    if (got < size)
      Fail(crcCorrupt, Format("%s at offset %llu (%zu bytes) runs past the end of the cabinet",
                              field, (unsigned long long)(FPosition - got), size));
  }

  // Reads at most count bytes from offset: those there are.
  std::vector<uint8_t> ReadAt(uint64_t offset, size_t count) {
    std::vector<uint8_t> bytes(count);
    SeekTo(offset);
    bytes.resize(ReadUpTo(bytes.data(), count));
    return bytes;
  }

private:
  size_t ReadUpTo(uint8_t* to, size_t size) {
    size_t done = std::min(size, FEnd - FBegin);
    std::memcpy(to, FBuffer.data() + FBegin, done);
    FBegin += done;
    while (done < size) {
      if (size - done >= FBuffer.size()) {
        const size_t got = ReadStream(to + done, size - done);
        if (got == 0)
          break;
        done += got;
        continue;
      }
      FBegin = 0;
      FEnd = ReadStream(FBuffer.data(), FBuffer.size());
      if (FEnd == 0)
        break;
      const size_t part = std::min(size - done, FEnd);
      std::memcpy(to + done, FBuffer.data(), part);
      FBegin = part;
      done += part;
    }
    FPosition += done;
    return done;
  }

  size_t ReadStream(uint8_t* out, size_t size) {
    return CabinetRead([&] {
      if (FSeekPending) {
        FStream.Seek(int64_t(FPosition), soBeginning);
        FSeekPending = false;
      }
      const int64_t got = FStream.Read(out, int64_t(size));
      if (got < 0 || uint64_t(got) > size)
        Fail(crcCorrupt);
      return size_t(got);
    });
  }

  TStream& FStream;
  std::vector<uint8_t> FBuffer;
  size_t FBegin = 0;
  size_t FEnd = 0;
  uint64_t FPosition = 0; // of the next byte Read gives
  bool FSeekPending = false;
};

namespace {

// A data block's record read and checked; its encoded bytes follow it.
CabFormat::TDataFields ReadBlockRecord(TCabinetInput& input, uint8_t* record, size_t recordSize) {
  using namespace CabFormat;
  input.Read(record, recordSize, "CFDATA");
  const TDataFields fields =
      CabinetRead([&] { return ReadRecord<TDataFields>(TByteView(record, recordSize)); });
  if (fields.encodedSize > MaxBlockCompressed || fields.outputSize > MaxBlockUncompressed)
    Fail(crcCorrupt, Format("CFDATA at offset %llu holds more than a block",
                            (unsigned long long)(input.Position() - recordSize)));
  return fields;
}

// Walks the data blocks of one folder at a time, decoding each block once. Members come in
// the order their data lies (ExtractionOrder), so a folder is decoded once from its start and
// only as far as its last member needs, and a few blocks beyond it that are read ahead.
class TFolderReader {
public:
  TFolderReader(TCabinetInput& input, const std::vector<CabFormat::TFolderFields>& folders,
                uint8_t dataReserve)
      : FInput(input), FFolders(folders), FReserve(dataReserve) {}

  // Passes size bytes of the folder's data from offset to sink, block piece by block piece.
  void Extract(size_t folderIndex, uint32_t offset, uint32_t size, TCabSink& sink) {
    if (size == 0)
      return;
    if (folderIndex != FFolderIndex)
      Restart(folderIndex);
    else if (offset < FExtractedEnd)
      // Members overlapping each other would make one folder cost its size once per member.
      Fail(crcCorrupt);
    uint64_t position = offset;
    const uint64_t end = uint64_t(offset) + size;
    while (position < end) {
      if (position >= FBlockStart + FBlockSize) {
        NextBlock();
        continue;
      }
      const uint64_t pieceEnd = std::min(end, FBlockStart + FBlockSize);
      const uint8_t* piece = FBlockData + (position - FBlockStart);
      CabStep(false, crcTargetFile, [&] { sink.Write(piece, size_t(pieceEnd - position)); });
      position = pieceEnd;
    }
    FExtractedEnd = end;
  }

private:
  void Restart(size_t folderIndex) {
    const CabFormat::TFolderFields& folder = FFolders[folderIndex];
    const auto type =
        CabFormat::TCabCompression(folder.compression & CabFormat::CompressionTypeMask);
    if (type != CabFormat::TCabCompression::Stored && type != CabFormat::TCabCompression::Mszip)
      Fail(crcCompressionType);
    FAhead.reset(); // its thread stops before a new one starts
    FAhead =
        std::make_unique<TCabBlockAhead>(type == CabFormat::TCabCompression::Mszip, folder.blocks);
    FFolderIndex = folderIndex;
    FBlocksRead = 0;
    FReadFailure = nullptr;
    FBlockStart = 0;
    FBlockSize = 0;
    FExtractedEnd = 0;
    FInput.SeekTo(folder.dataOffset);
  }

  void NextBlock() {
    // Reads ahead while there is room: a block that cannot be read fails only once it is needed.
    const CabFormat::TFolderFields& folder = FFolders[FFolderIndex];
    while (!FReadFailure && FBlocksRead < folder.blocks) {
      TCabDataBlock* block = FAhead->Room();
      if (!block)
        break;
      try {
        ReadBlock(*block);
      } catch (const EMFSCabSystemError&) {
        FReadFailure = std::current_exception();
        break;
      }
      FAhead->Push();
      ++FBlocksRead;
    }
    if (FAhead->Pending() == 0) { // else a member reaches beyond its folder's data
      if (FReadFailure)
        std::rethrow_exception(FReadFailure);
      Fail(crcCorrupt, "a member reaches beyond its folder's data");
    }
    const TCabBlockOutput output = FAhead->Take();
    if (output.Failure)
      Fail(output.Failure);
    FBlockData = output.Data;
    FBlockStart += FBlockSize;
    FBlockSize = output.Size;
  }

  void ReadBlock(TCabDataBlock& block) {
    block.RecordSize = CabFormat::DataSize + FReserve;
    const auto [checksum, encodedSize, outputSize] =
        ReadBlockRecord(FInput, block.Record, block.RecordSize);
    FInput.Read(block.Encoded, encodedSize, "CFDATA's data");
    block.Checksum = checksum;
    block.EncodedSize = encodedSize;
    block.OutputSize = outputSize;
  }

  TCabinetInput& FInput;
  const std::vector<CabFormat::TFolderFields>& FFolders;
  uint8_t FReserve;
  std::unique_ptr<TCabBlockAhead> FAhead;
  size_t FFolderIndex = SIZE_MAX;
  size_t FBlocksRead = 0;
  std::exception_ptr FReadFailure; // why the block after the last one read could not be
  uint64_t FBlockStart = 0;        // folder offset of the current block's output
  uint64_t FBlockSize = 0;
  uint64_t FExtractedEnd = 0; // folder offset where the last extracted member ended
  const uint8_t* FBlockData = nullptr;
};

// The order in which members are offered: by folder and by offset inside it, whatever the
// order of the file list, so that each folder is decoded once from its start. Members of equal
// place keep their list order; those continued across cabinets (special folder indices) come
// last.
std::vector<size_t> ExtractionOrder(const std::vector<TCabMember>& members) {
  std::vector<size_t> order(members.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::tie(members[a].folder, members[a].offset) <
           std::tie(members[b].folder, members[b].offset);
  });
  return order;
}

// The most bytes the records after the fixed header may take before the file table: the
// reserve sizes and area, two pairs of names, the folders with their reserves.
size_t MaxHeadSize(uint16_t folders) {
  using namespace CabFormat;
  return HeaderReserveSize + MaxHeaderReserve + 4 * (MaxNameLength + 1) +
         size_t(folders) * (FolderSize + 0xFF);
}

} // namespace

TCabReader::TCabReader(TStream& cabinet) : FInput(std::make_unique<TCabinetInput>(cabinet)) {
  ReadTables();
}

TCabReader::~TCabReader() = default;

void TCabReader::ReadTables() {
  using namespace CabFormat;
  const std::vector<uint8_t> fixed = FInput->ReadAt(0, HeaderSize);
  if (fixed.size() < HeaderSize)
    Fail(crcNotACabinet);
  FHeader = ReadRecord<THeaderFields>(TByteView(fixed.data(), fixed.size()));
  if (FHeader.signature != Signature)
    Fail(crcNotACabinet);
  if (FHeader.versionMajor != VersionMajor || FHeader.versionMinor != VersionMinor)
    Fail(crcUnknownVersion);
  CabinetRead([&] {
    const std::vector<uint8_t> headBytes = FInput->ReadAt(HeaderSize, MaxHeadSize(FHeader.folders));
    TByteCursor head(TByteView(headBytes.data(), headBytes.size()));
    if (FHeader.flags & FlagReservePresent) {
      FReserve = ReadRecord<TReserveSizes>(head);
      head.Skip(FReserve.headerReserve, "abReserve");
    }
    for (const uint16_t named : {FlagPrevCabinet, FlagNextCabinet})
      if (FHeader.flags & named) {
        head.ZString(MaxNameLength, "szCabinet");
        head.ZString(MaxNameLength, "szDisk");
      }
    for (uint16_t i = 0; i < FHeader.folders; ++i)
      FFolders.push_back(
          ReadRecord<TFolderFields>(head.Take(FolderSize + FReserve.folderReserve, "CFFOLDER")));

    const std::vector<uint8_t> fileBytes =
        FInput->ReadAt(FHeader.filesOffset, size_t(FHeader.files) * (FileSize + MaxNameLength + 1));
    TByteCursor files(TByteView(fileBytes.data(), fileBytes.size()));
    for (uint16_t i = 0; i < FHeader.files; ++i)
      FMembers.push_back(ReadRecord<TFileFields>(files));
  });
}

std::vector<TCabBlockPlace> TCabReader::Blocks(size_t folder) {
  const CabFormat::TFolderFields& fields = FFolders.at(folder);
  std::vector<TCabBlockPlace> blocks;
  // At most 65535 blocks (a 16-bit count): the table costs a few bytes per block read.
  blocks.reserve(fields.blocks);
  uint8_t record[CabFormat::DataSize + 0xFF];
  uint64_t at = fields.dataOffset;
  for (uint16_t i = 0; i < fields.blocks; ++i) {
    FInput->SeekTo(at);
    const size_t recordSize = CabFormat::DataSize + FReserve.dataReserve;
    const CabFormat::TDataFields block = ReadBlockRecord(*FInput, record, recordSize);
    blocks.push_back({at + recordSize, block.encodedSize, block.outputSize});
    at += recordSize + block.encodedSize;
  }
  return blocks;
}

void TCabReader::Extract(TCabSink& sink) {
  TFolderReader folderReader(*FInput, FFolders, FReserve.dataReserve);
  for (const size_t index : ExtractionOrder(FMembers)) {
    const TCabMember& member = FMembers[index];
    if (member.folder >= CabFormat::FolderContinuedFromPrev)
      Fail(crcAborted, SSpannedCabinetsUnsupported);
    if (member.folder >= FFolders.size())
      Fail(crcCorrupt, Format("iFolder of %s names no folder", member.name.c_str()));
    if (!CabStep(false, crcAborted, [&] { return sink.Begin(member); }))
      continue;
    folderReader.Extract(member.folder, member.offset, member.size, sink);
    CabStep(false, crcAborted, [&] { sink.End(member); });
  }
}
