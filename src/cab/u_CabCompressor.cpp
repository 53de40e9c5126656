#include "cab/u_CabCompressor.h"

#include "cab/u_CabBlockEncoder.h"
#include "cab/u_CabFormat.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

namespace {

// Input gathered before its blocks are encoded together: enough blocks to keep every thread
// busy, a multiple of the block size so only a folder's last block is ever short.
constexpr size_t BatchBlocks = 64;
constexpr size_t BatchSize = BatchBlocks * CabFormat::MaxBlockUncompressed;
// Chunk in which the spooled blocks are copied into the cabinet.
constexpr uint32_t CopyChunkSize = 1 << 20;
// The spool is kept in temporary files of about this size, each deleted as soon as it is in
// the cabinet: the cabinet and its spool are then never both whole at once, only the cabinet
// and one piece.
constexpr uint64_t SpoolPieceSize = 8 << 20;
// Largest spool and cabinet: offsets in the cabinet are 32-bit and callbacks seek with a signed
// 32-bit distance.
constexpr uint64_t MaxCabinetSize = 0x7FFFFFFF;
constexpr uint32_t CallbackFailed = UINT32_MAX;
constexpr intptr_t NoHandle = -1;

// A failed step: the library code and the error value a callback reported.
struct TFciFailure {
  int32_t code;
  int32_t type;
};

[[noreturn]] void Fail(int32_t code, int32_t type = 0) {
  throw TFciFailure{code, type};
}

struct TFolderEntry {
  uint32_t dataOffset; // of its first block in the spool
  uint16_t blocks;
  TCOMP type;
};

struct TFileEntry {
  std::string name;
  uint32_t size;
  uint32_t offset; // in the folder's uncompressed data
  uint16_t folder;
  uint16_t date;
  uint16_t time;
  uint16_t attribs;
};

std::string BoundedText(const char* text, size_t capacity) {
  return std::string(text, strnlen(text, capacity));
}

class TCabCompressor {
public:
  TCabCompressor(ERF* perf, PFNFCIFILEPLACED filePlaced, PFNFCIFREE freeMemory, PFNFCIOPEN open,
                 PFNFCIREAD read, PFNFCIWRITE write, PFNFCICLOSE close, PFNFCISEEK seek,
                 PFNFCIDELETE remove, PFNFCIGETTEMPFILE tempName, const CCAB& params, void* pv)
      : FError(perf), FFilePlaced(filePlaced), FFree(freeMemory), FOpen(open), FRead(read),
        FWrite(write), FClose(close), FSeek(seek), FDelete(remove), FTempName(tempName),
        FParams(params),
        FPv(pv), FBatches{TBatch(params.cbReserveCFData), TBatch(params.cbReserveCFData)} {}

  ERF* Error() const { return FError; }
  PFNFCIFREE FreeMemory() const { return FFree; }

  void AddFile(const char* source, const char* name, bool execute, PFNFCISTATUS status,
               PFNFCIGETOPENINFO openInfo, TCOMP typeCompress);
  void FlushFolder(PFNFCISTATUS status);
  void FlushCabinet(PFNFCISTATUS status);
  void UsePreviousFolder(const TCabPreviousFolder* previous) { FPrevious = previous; }
  // Closes and deletes every piece of the spool; failures count only when reportFailure is set.
  void ReleaseSpool(bool reportFailure);

private:
  // A new piece at the end of the spool.
  void OpenSpoolPiece();
  void WriteSpool(const uint8_t* data, uint32_t size);
  // Closes and deletes the spool's first piece.
  void ReleaseSpoolPiece(bool reportFailure);
  void ReadSource(intptr_t source, TFileEntry& entry, PFNFCISTATUS status);
  // Starts encoding the filled batch; the other one, if still being encoded, is finished first
  // so that the next can be filled. Meanwhile the caller reads on.
  void EncodePending(PFNFCISTATUS status);
  // Waits for the batch started first and puts its records into the spool.
  void FinishOldestBatch(PFNFCISTATUS status);
  uint64_t InputBeingEncoded() const;
  // Header, folder and file entries, measured first and then written in one piece.
  std::string BuildTables(uint32_t cabinetSize) const;
  uint32_t FilesOffset() const;
  uint32_t TablesSize() const;
  void CopySpoolTo(intptr_t cabinet);
  void Report(PFNFCISTATUS status, uint32_t kind, uint32_t cb1, uint32_t cb2);
  bool HasReserve() const {
    return FParams.cbReserveCFHeader || FParams.cbReserveCFFolder || FParams.cbReserveCFData;
  }

  ERF* FError;
  PFNFCIFILEPLACED FFilePlaced;
  PFNFCIFREE FFree;
  PFNFCIOPEN FOpen;
  PFNFCIREAD FRead;
  PFNFCIWRITE FWrite;
  PFNFCICLOSE FClose;
  PFNFCISEEK FSeek;
  PFNFCIDELETE FDelete;
  PFNFCIGETTEMPFILE FTempName;
  CCAB FParams;
  void* FPv;

  struct TSpoolPiece {
    intptr_t handle;
    std::string name;
    uint64_t size;
  };
  std::deque<TSpoolPiece> FSpool; // in the order the blocks were written
  uint64_t FSpoolSize = 0;        // of all pieces

  std::vector<TFolderEntry> FFolders;
  std::vector<TFileEntry> FFiles;
  bool FFolderOpen = false;
  TFolderEntry FFolder{};
  uint64_t FFolderUncompressed = 0;
  uint64_t FFolderCompressed = 0;
  const TCabPreviousFolder* FPrevious = nullptr; // offers blocks to the first folder

  // Two batches in turn: one is encoded on the encoder's threads while the other is filled
  // and, before that, its records written, so no core waits on the reading and writing.
  struct TBatch {
    explicit TBatch(size_t dataReserve) : blocks(dataReserve) {}
    std::vector<uint8_t> input;
    size_t size = 0;
    TCabBlockEncoder blocks; // declared after input: it stops its threads first
  };
  TBatch FBatches[2];
  size_t FFilling = 0;          // the batch taking input
  std::deque<size_t> FEncoding; // batches being encoded, the first started first
  size_t FPendingSize = 0;      // input in the filling batch
};

void TCabCompressor::Report(PFNFCISTATUS status, uint32_t kind, uint32_t cb1, uint32_t cb2) {
  if (status && status(kind, cb1, cb2, FPv) == -1 && kind != statusCabinet)
    Fail(FCIERR_USER_ABORT);
}

void TCabCompressor::OpenSpoolPiece() {
  char name[CB_MAX_FILENAME] = {};
  // The callback has no error value of its own: its failure is reported as a callback's -1.
  if (!FTempName(name, sizeof name, FPv))
    Fail(FCIERR_TEMP_FILE, -1);
  name[sizeof name - 1] = '\0';
  int32_t err = 0;
  const intptr_t piece = FOpen(name, cofBinary | cofRdWr | cofCreat | cofExcl | cofShortLived,
                               cpmRead | cpmWrite, &err, FPv);
  if (piece == NoHandle)
    Fail(FCIERR_TEMP_FILE, err);
  FSpool.push_back({piece, name, 0});
}

void TCabCompressor::WriteSpool(const uint8_t* data, uint32_t size) {
  if (FSpoolSize + size > MaxCabinetSize)
    Fail(FCIERR_CAB_FORMAT_LIMIT);
  if (FSpool.empty() || FSpool.back().size + size > SpoolPieceSize)
    OpenSpoolPiece();
  int32_t err = 0;
  if (FWrite(FSpool.back().handle, const_cast<uint8_t*>(data), size, &err, FPv) != size)
    Fail(FCIERR_TEMP_FILE, err);
  FSpool.back().size += size;
  FSpoolSize += size;
}

void TCabCompressor::ReleaseSpoolPiece(bool reportFailure) {
  TSpoolPiece piece = std::move(FSpool.front());
  FSpool.pop_front();
  int32_t err = 0;
  if (FClose(piece.handle, &err, FPv) == -1 && reportFailure)
    Fail(FCIERR_TEMP_FILE, err);
  err = 0;
  if (FDelete(piece.name.data(), &err, FPv) == -1 && reportFailure)
    Fail(FCIERR_TEMP_FILE, err);
}

void TCabCompressor::ReleaseSpool(bool reportFailure) {
  while (!FSpool.empty())
    ReleaseSpoolPiece(reportFailure);
  FSpoolSize = 0;
}

void TCabCompressor::EncodePending(PFNFCISTATUS status) {
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
  batch.blocks.Start(FFolder.type, batch.input.data(), batch.size, reuse);
  FEncoding.push_back(FFilling);
  FPendingSize = 0;
  FFilling ^= 1;
  if (FEncoding.front() == FFilling)
    FinishOldestBatch(status);
}

void TCabCompressor::FinishOldestBatch(PFNFCISTATUS status) {
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
  Report(status, statusFile, encoded, uint32_t(batch.size));
}

uint64_t TCabCompressor::InputBeingEncoded() const {
  uint64_t size = 0;
  for (size_t index : FEncoding)
    size += FBatches[index].size;
  return size;
}

void TCabCompressor::ReadSource(intptr_t source, TFileEntry& entry, PFNFCISTATUS status) {
  uint64_t fileSize = 0;
  for (;;) {
    std::vector<uint8_t>& input = FBatches[FFilling].input;
    // Grown as the input comes, not to a whole batch at once: a small book would have
    // megabytes zeroed that it never fills, for every book of a batch.
    if (FPendingSize == input.size())
      input.resize(std::min(BatchSize, std::max<size_t>(2 * input.size(),
                                                         CabFormat::MaxBlockUncompressed)));
    const auto room = uint32_t(input.size() - FPendingSize);
    int32_t err = 0;
    const uint32_t got = FRead(source, input.data() + FPendingSize, room, &err, FPv);
    if (got == CallbackFailed || got > room)
      Fail(FCIERR_READ_SRC, err);
    if (got == 0)
      break;
    fileSize += got;
    FFolderUncompressed += got;
    // The folder's blocks are counted in 16 bits: it ends before 65535 blocks of 32 KiB.
    if (FFolderUncompressed > CabFormat::MaxFolderUncompressed)
      Fail(FCIERR_CAB_FORMAT_LIMIT);
    FPendingSize += got;
    if (FPendingSize == BatchSize)
      EncodePending(status);
  }
  entry.size = uint32_t(fileSize);
}

void TCabCompressor::AddFile(const char* source, const char* name, bool execute,
                             PFNFCISTATUS status, PFNFCIGETOPENINFO openInfo, TCOMP typeCompress) {
  const TCOMP type = typeCompress & tcompMASK_TYPE;
  if (type != tcompTYPE_NONE && type != tcompTYPE_MSZIP)
    Fail(FCIERR_BAD_COMPR_TYPE);
  TFileEntry entry{BoundedText(name, CB_MAX_FILENAME), 0, 0, 0, 0, 0, 0};
  if (entry.name.size() > CabFormat::MaxNameLength || FFiles.size() >= CabFormat::MaxFiles)
    Fail(FCIERR_CAB_FORMAT_LIMIT);
  // Input not yet encoded counts at its own size: blocks are encoded in batches.
  if (FFolderOpen &&
      (type != FFolder.type ||
       FFolderCompressed + InputBeingEncoded() + FPendingSize >= FParams.cbFolderThresh))
    FlushFolder(status);

  int32_t err = 0;
  const intptr_t handle =
      openInfo(const_cast<char*>(source), &entry.date, &entry.time, &entry.attribs, &err, FPv);
  if (handle == NoHandle)
    Fail(FCIERR_OPEN_SRC, err);
  try {
    if (FSpool.empty()) // the spool exists from the first file on, as the cabinet's data
      OpenSpoolPiece();
    if (!FFolderOpen) {
      if (FFolders.size() >= CabFormat::MaxFolders)
        Fail(FCIERR_CAB_FORMAT_LIMIT);
      FFolder = TFolderEntry{uint32_t(FSpoolSize), 0, type};
      FFolderOpen = true;
      FFolderUncompressed = 0;
      FFolderCompressed = 0;
    }
    entry.offset = uint32_t(FFolderUncompressed);
    entry.folder = uint16_t(FFolders.size());
    ReadSource(handle, entry, status);
  } catch (...) {
    int32_t ignored = 0;
    FClose(handle, &ignored, FPv);
    throw;
  }
  err = 0;
  if (FClose(handle, &err, FPv) == -1)
    Fail(FCIERR_READ_SRC, err);
  if (execute)
    entry.attribs |= cabAttrExec;
  FFiles.push_back(entry);
  if (FFilePlaced &&
      FFilePlaced(&FParams, FFiles.back().name.data(), int32_t(entry.size), 0, FPv) == -1)
    Fail(FCIERR_USER_ABORT);
}

void TCabCompressor::FlushFolder(PFNFCISTATUS status) {
  if (!FFolderOpen)
    return;
  if (FPendingSize > 0)
    EncodePending(status);
  while (!FEncoding.empty())
    FinishOldestBatch(status);
  FFolders.push_back(FFolder);
  FFolderOpen = false;
  Report(status, statusFolder, uint32_t(FFolderCompressed), uint32_t(FFolderUncompressed));
}

uint32_t TCabCompressor::FilesOffset() const {
  size_t size = CabFormat::HeaderSize;
  if (HasReserve())
    size += CabFormat::HeaderReserveSize + FParams.cbReserveCFHeader;
  return uint32_t(size + FFolders.size() * (CabFormat::FolderSize + FParams.cbReserveCFFolder));
}

uint32_t TCabCompressor::TablesSize() const {
  size_t size = FilesOffset();
  for (const auto& file : FFiles)
    size += CabFormat::FileSize + file.name.size() + 1;
  return uint32_t(size);
}

std::string TCabCompressor::BuildTables(uint32_t cabinetSize) const {
  using namespace CabFormat;
  const uint32_t tablesSize = TablesSize();
  const uint32_t filesOffset = FilesOffset();
  std::string out;
  out.reserve(tablesSize);
  PutU32(out, Signature);
  PutU32(out, 0);
  PutU32(out, cabinetSize);
  PutU32(out, 0);
  PutU32(out, filesOffset);
  PutU32(out, 0);
  PutU8(out, VersionMinor);
  PutU8(out, VersionMajor);
  PutU16(out, uint16_t(FFolders.size()));
  PutU16(out, uint16_t(FFiles.size()));
  PutU16(out, HasReserve() ? FlagReservePresent : 0);
  PutU16(out, FParams.setID);
  PutU16(out, uint16_t(FParams.iCab));
  if (HasReserve()) {
    PutU16(out, uint16_t(FParams.cbReserveCFHeader));
    PutU8(out, uint8_t(FParams.cbReserveCFFolder));
    PutU8(out, uint8_t(FParams.cbReserveCFData));
    out.append(FParams.cbReserveCFHeader, '\0');
  }
  for (const auto& folder : FFolders) {
    PutU32(out, tablesSize + folder.dataOffset);
    PutU16(out, folder.blocks);
    PutU16(out, folder.type);
    out.append(FParams.cbReserveCFFolder, '\0');
  }
  for (const auto& file : FFiles) {
    PutU32(out, file.size);
    PutU32(out, file.offset);
    PutU16(out, file.folder);
    PutU16(out, file.date);
    PutU16(out, file.time);
    PutU16(out, file.attribs);
    out.append(file.name);
    PutU8(out, 0);
  }
  return out;
}

void TCabCompressor::CopySpoolTo(intptr_t cabinet) {
  std::vector<uint8_t> chunk(std::min<uint64_t>(FSpoolSize, CopyChunkSize));
  while (!FSpool.empty()) {
    const TSpoolPiece& piece = FSpool.front();
    int32_t err = 0;
    if (FSeek(piece.handle, 0, 0, &err, FPv) != 0)
      Fail(FCIERR_TEMP_FILE, err);
    for (uint64_t left = piece.size; left > 0;) {
      const auto part = uint32_t(std::min<uint64_t>(left, chunk.size()));
      err = 0;
      if (FRead(piece.handle, chunk.data(), part, &err, FPv) != part)
        Fail(FCIERR_TEMP_FILE, err);
      err = 0;
      if (FWrite(cabinet, chunk.data(), part, &err, FPv) != part)
        Fail(FCIERR_CAB_FILE, err);
      left -= part;
    }
    ReleaseSpoolPiece(true);
  }
}

void TCabCompressor::FlushCabinet(PFNFCISTATUS status) {
  FlushFolder(status);
  const uint64_t cabinetSize = uint64_t(TablesSize()) + FSpoolSize;
  if (cabinetSize > MaxCabinetSize || cabinetSize > FParams.cb)
    Fail(FCIERR_CAB_FORMAT_LIMIT);
  const std::string tables = BuildTables(uint32_t(cabinetSize));
  std::string path = BoundedText(FParams.szCabPath, sizeof FParams.szCabPath) +
                     BoundedText(FParams.szCab, sizeof FParams.szCab);
  int32_t err = 0;
  const intptr_t cabinet =
      FOpen(path.data(), cofBinary | cofRdWr | cofCreat | cofTrunc, cpmRead | cpmWrite, &err, FPv);
  if (cabinet == NoHandle)
    Fail(FCIERR_CAB_FILE, err);
  try {
    err = 0;
    if (FWrite(cabinet, const_cast<char*>(tables.data()), uint32_t(tables.size()), &err, FPv) !=
        tables.size())
      Fail(FCIERR_CAB_FILE, err);
    CopySpoolTo(cabinet);
  } catch (...) {
    int32_t ignored = 0;
    FClose(cabinet, &ignored, FPv);
    throw;
  }
  err = 0;
  if (FClose(cabinet, &err, FPv) == -1)
    Fail(FCIERR_CAB_FILE, err);
  Report(status, statusCabinet, uint32_t(cabinetSize), uint32_t(cabinetSize));
  ReleaseSpool(true);
  FFolders.clear();
  FFiles.clear();
}

TCabCompressor* Context(HFCI hfci) {
  return static_cast<TCabCompressor*>(hfci);
}

// Runs one call of the contract: a failure fills the error record and gives FALSE.
template <typename Step> int32_t Guarded(ERF* error, Step step) {
  try {
    step();
    return 1;
  } catch (const TFciFailure& failure) {
    *error = ERF{failure.code, failure.type, 1};
  } catch (const std::bad_alloc&) {
    *error = ERF{FCIERR_ALLOC_FAIL, 0, 1};
  } catch (...) {
    *error = ERF{FCIERR_MCI_FAIL, 0, 1};
  }
  return 0;
}

} // namespace

namespace CabCompressor {

HFCI Create(ERF* perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
            PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
            PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, CCAB* pccab,
            void* pv) {
  if (pccab->cbReserveCFHeader > CabFormat::MaxHeaderReserve || pccab->cbReserveCFFolder > 0xFF ||
      pccab->cbReserveCFData > 0xFF) {
    *perf = ERF{FCIERR_CAB_FORMAT_LIMIT, 0, 1};
    return nullptr;
  }
  void* memory = pfna(sizeof(TCabCompressor));
  if (!memory) {
    *perf = ERF{FCIERR_ALLOC_FAIL, 0, 1};
    return nullptr;
  }
  return new (memory) TCabCompressor(perf, pfnfcifp, pfnf, pfnopen, pfnread, pfnwrite, pfnclose,
                                     pfnseek, pfndelete, pfnfcigtf, *pccab, pv);
}

int32_t AddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, int32_t fExecute,
                PFNFCIGETNEXTCABINET, PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                TCOMP typeCompress) {
  TCabCompressor* context = Context(hfci);
  return Guarded(context->Error(), [&] {
    context->AddFile(pszSourceFile, pszFileName, fExecute != 0, pfnfcis, pfnfcigoi, typeCompress);
  });
}

// A request for a next cabinet is not honoured: this engine makes single cabinets.
int32_t FlushCabinet(HFCI hfci, int32_t, PFNFCIGETNEXTCABINET, PFNFCISTATUS pfnfcis) {
  TCabCompressor* context = Context(hfci);
  return Guarded(context->Error(), [&] { context->FlushCabinet(pfnfcis); });
}

int32_t FlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET, PFNFCISTATUS pfnfcis) {
  TCabCompressor* context = Context(hfci);
  return Guarded(context->Error(), [&] { context->FlushFolder(pfnfcis); });
}

void UsePreviousFolder(HFCI hfci, const TCabPreviousFolder* previous) {
  Context(hfci)->UsePreviousFolder(previous);
}

int32_t Destroy(HFCI hfci) {
  TCabCompressor* context = Context(hfci);
  if (!context)
    return 0;
  context->ReleaseSpool(false);
  const PFNFCIFREE freeMemory = context->FreeMemory();
  context->~TCabCompressor();
  freeMemory(context);
  return 1;
}

} // namespace CabCompressor
