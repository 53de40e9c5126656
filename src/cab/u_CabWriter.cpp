#include "cab/u_CabWriter.h"

#include "cab/CabConsts.h"
#include "common/u_ByteView.h"
#include "common/u_Progress.h"
#include "common/u_Streams.h"

#include <algorithm>
#include <new>

namespace {

// Input gathered before its blocks are encoded together: enough blocks to keep every thread
// busy, a multiple of the block size so only a folder's last block is ever short.
constexpr size_t BatchBlocks = 64;
constexpr size_t BatchSize = BatchBlocks * CabFormat::MaxBlockUncompressed;
// Chunk in which the spooled blocks are copied into the cabinet.
constexpr uint32_t CopyChunkSize = 1 << 20;
// The spool is kept in pieces of about this size, each dropped as soon as it is in the
// cabinet: the cabinet and its spool are then never both whole at once, only the cabinet and
// one piece.
constexpr uint64_t SpoolPieceSize = 8 << 20;
// Largest spool and cabinet: offsets in the cabinet are 32-bit, and other readers seek with a
// signed 32-bit distance.
constexpr uint64_t MaxCabinetSize = 0x7FFFFFFF;

[[noreturn]] void Fail(int32_t code) {
  throw EMFSCabSystemError(true, code);
}

// Runs one public step: a lack of memory anywhere in it is the writer's.
template <typename Step> void Guarded(Step step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    Fail(cwcOutOfMemory);
  }
}

} // namespace

TCabWriter::TCabWriter(TCabSpool& spool, CabFormat::TCabCompression type, uint32_t folderThreshold)
    : FSpoolMaker(spool), FType(type), FFolderThreshold(folderThreshold) {}

// Stops the encoder threads before the spool goes; failures on the way out are not reported.
TCabWriter::~TCabWriter() = default;

void TCabWriter::OpenSpoolPiece() {
  FSpool.push_back({CabStep(true, cwcTempFile, [&] { return FSpoolMaker.NewPiece(); }), 0});
}

void TCabWriter::WriteSpool(const uint8_t* data, uint32_t size) {
  if (FSpoolSize + size > MaxCabinetSize)
    Fail(cwcFormatLimit);
  if (FSpool.empty() || FSpool.back().size + size > SpoolPieceSize)
    OpenSpoolPiece();
  CabStep(true, cwcTempFile, [&] { FSpool.back().stream->WriteBuffer(data, size); });
  FSpool.back().size += size;
  FSpoolSize += size;
}

void TCabWriter::EncodePending() {
  TBatch& batch = FBatches[FFilling];
  batch.size = FPendingSize;
  TCabBlockEncoder::TReuse reuse;
  if (FPrevious && FFolders.empty()) {
    reuse.previous = FPrevious;
    reuse.folderOffset = FFolderUncompressed - FPendingSize;
    // Past the folder's start the batch before is the folder's too, and whole; it is not
    // refilled before this one has started.
    const TBatch& before = FBatches[FFilling ^ 1];
    if (reuse.folderOffset > 0) {
      reuse.historySize = std::min(before.size, CabFormat::MaxBlockUncompressed);
      reuse.history = before.input.data() + before.size - reuse.historySize;
    }
  }
  batch.blocks.Start(FType, batch.input.data(), batch.size, reuse);
  FEncoding.push_back(FFilling);
  FPendingSize = 0;
  FFilling ^= 1;
  if (FEncoding.front() == FFilling)
    FinishOldestBatch();
}

void TCabWriter::FinishOldestBatch() {
  TBatch& batch = FBatches[FEncoding.front()];
  FEncoding.pop_front();
  TCabBlockEncoder& blocks = batch.blocks;
  blocks.Wait();
  uint32_t encoded = 0;
  for (size_t i = 0; i < blocks.Count(); ++i) {
    WriteSpool(blocks.Record(i), uint32_t(blocks.RecordSize(i)));
    encoded += uint32_t(blocks.RecordSize(i));
  }
  FFolder.blocks = uint16_t(FFolder.blocks + blocks.Count());
  FFolderCompressed += encoded;
  if (FProgress)
    FProgress->Advance(batch.size);
}

uint64_t TCabWriter::InputBeingEncoded() const {
  uint64_t size = 0;
  for (size_t index : FEncoding)
    size += FBatches[index].size;
  return size;
}

void TCabWriter::ReadSource(TStream& source, CabFormat::TFileFields& entry) {
  uint64_t fileSize = 0;
  for (;;) {
    std::vector<uint8_t>& input = FBatches[FFilling].input;
    // Grown as the input comes, not to a whole batch at once: a small book would have
    // megabytes zeroed that it never fills, for every book of a batch.
    if (FPendingSize == input.size())
      input.resize(
          std::min(BatchSize, std::max<size_t>(2 * input.size(), CabFormat::MaxBlockUncompressed)));
    const size_t room = input.size() - FPendingSize;
    const int64_t got = CabStep(true, cwcReadSource, [&] {
      return source.Read(input.data() + FPendingSize, int64_t(room));
    });
    if (got < 0 || uint64_t(got) > room)
      Fail(cwcReadSource);
    if (got == 0)
      break;
    fileSize += uint64_t(got);
    FFolderUncompressed += uint64_t(got);
    // The folder's blocks are counted in 16 bits: it ends before 65535 blocks of 32 KiB.
    if (FFolderUncompressed > CabFormat::MaxFolderUncompressed)
      Fail(cwcFormatLimit);
    FPendingSize += size_t(got);
    if (FPendingSize == BatchSize)
      EncodePending();
  }
  entry.size = uint32_t(fileSize);
}

void TCabWriter::Add(const std::string& name, TStream& source, uint16_t date, uint16_t time,
                     uint16_t attributes) {
  Guarded([&] {
    if (name.size() > CabFormat::MaxNameLength || FFiles.size() >= CabFormat::MaxFiles)
      Fail(cwcFormatLimit);
    // Input not yet encoded counts at its own size: blocks are encoded in batches.
    if (FFolderOpen && FFolderCompressed + InputBeingEncoded() + FPendingSize >= FFolderThreshold)
      FlushFolder();
    if (FSpool.empty()) // the spool exists from the first member on, as the cabinet's data
      OpenSpoolPiece();
    if (!FFolderOpen) {
      if (FFolders.size() >= CabFormat::MaxFolders)
        Fail(cwcFormatLimit);
      FFolder = TFolderEntry{uint32_t(FSpoolSize), 0};
      FFolderOpen = true;
      FFolderUncompressed = 0;
      FFolderCompressed = 0;
    }
    CabFormat::TFileFields entry{
        0, uint32_t(FFolderUncompressed), uint16_t(FFolders.size()), date, time, attributes, name};
    ReadSource(source, entry);
    FFiles.push_back(entry);
  });
}

void TCabWriter::FlushFolder() {
  if (!FFolderOpen)
    return;
  if (FPendingSize > 0)
    EncodePending();
  while (!FEncoding.empty())
    FinishOldestBatch();
  FFolders.push_back(FFolder);
  FFolderOpen = false;
}

uint32_t TCabWriter::FilesOffset() const {
  return uint32_t(CabFormat::HeaderSize + FFolders.size() * CabFormat::FolderSize);
}

uint32_t TCabWriter::TablesSize() const {
  size_t size = FilesOffset();
  for (const auto& file : FFiles)
    size += CabFormat::FileSize + file.name.size() + 1;
  return uint32_t(size);
}

std::string TCabWriter::BuildTables(uint32_t cabinetSize) const {
  using namespace CabFormat;
  const uint32_t tablesSize = TablesSize();
  std::string out;
  out.reserve(tablesSize);
  THeaderFields header;
  header.signature = Signature;
  header.cabinetSize = cabinetSize;
  header.filesOffset = FilesOffset();
  header.versionMinor = VersionMinor;
  header.versionMajor = VersionMajor;
  header.folders = uint16_t(FFolders.size());
  header.files = uint16_t(FFiles.size());
  WriteRecord(header, out);
  for (const auto& folder : FFolders)
    WriteRecord(TFolderFields{tablesSize + folder.dataOffset, folder.blocks, uint16_t(FType)}, out);
  for (const auto& file : FFiles)
    WriteRecord(file, out);
  return out;
}

void TCabWriter::CopySpoolTo(TStream& cabinet) {
  std::vector<uint8_t> chunk(std::min<uint64_t>(FSpoolSize, CopyChunkSize));
  while (!FSpool.empty()) {
    TStream& piece = *FSpool.front().stream;
    CabStep(true, cwcTempFile, [&] { piece.SetPosition(0); });
    for (uint64_t left = FSpool.front().size; left > 0;) {
      const auto part = uint32_t(std::min<uint64_t>(left, chunk.size()));
      CabStep(true, cwcTempFile, [&] { piece.ReadBuffer(chunk.data(), part); });
      CabStep(true, cwcCabinetFile, [&] { cabinet.WriteBuffer(chunk.data(), part); });
      left -= part;
    }
    FSpool.pop_front();
  }
  FSpoolSize = 0;
}

void TCabWriter::Finish(TStream& cabinet) {
  Guarded([&] {
    FlushFolder();
    const uint64_t cabinetSize = uint64_t(TablesSize()) + FSpoolSize;
    if (cabinetSize > MaxCabinetSize)
      Fail(cwcFormatLimit);
    const std::string tables = BuildTables(uint32_t(cabinetSize));
    CabStep(true, cwcCabinetFile, [&] { cabinet.WriteString(tables); });
    CopySpoolTo(cabinet);
    FFolders.clear();
    FFiles.clear();
  });
}
