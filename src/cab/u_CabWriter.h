#pragma once
// Writes a cabinet: members are read from their streams, encoded into 32 KiB data blocks and
// spooled to scratch streams the caller provides; Finish writes header, folders and file
// entries, then copies the spooled blocks behind them. A cabinet never continues in another
// one: one beyond what the format holds fails with cwcFormatLimit. Every failure is an
// EMFSCabSystemError; a failing stream's carries its words.

#include "cab/u_CabBlockEncoder.h"
#include "cab/u_CabFormat.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class TByteProgress;
class TCabPreviousFolder;
class TStream;

// Where a writer keeps its encoded blocks until the tables before them are known.
class TCabSpool {
public:
  virtual ~TCabSpool() = default;
  // A new empty scratch stream, dropped once its blocks are in the cabinet.
  virtual std::unique_ptr<TStream> NewPiece() = 0;
};

class TCabWriter {
public:
  // Every folder of the cabinet is of type; a new folder starts once a folder's compressed
  // data reaches folderThreshold bytes. spool must outlive the writer.
  explicit TCabWriter(TCabSpool& spool,
                      CabFormat::TCabCompression type = CabFormat::TCabCompression::Mszip,
                      uint32_t folderThreshold = 0x7FFFFFFF);
  ~TCabWriter();
  TCabWriter(const TCabWriter&) = delete;
  TCabWriter& operator=(const TCabWriter&) = delete;

  // The first folder takes over the blocks of previous (an earlier cabinet's folder) that
  // decode to exactly its data; previous must stay while this writer lives.
  void UsePreviousFolder(const TCabPreviousFolder* previous) { FPrevious = previous; }
  // Advanced by the bytes of input as they are encoded.
  void SetProgress(TByteProgress* progress) { FProgress = progress; }
  // Adds a member named name (at most 255 bytes) of source's bytes to its end.
  void Add(const std::string& name, TStream& source, uint16_t date, uint16_t time,
           uint16_t attributes);
  // Writes the whole cabinet to cabinet; the writer is then empty.
  void Finish(TStream& cabinet);

private:
  struct TFolderEntry {
    uint32_t dataOffset; // of its first block in the spool
    uint16_t blocks;
  };
  struct TSpoolPiece {
    std::unique_ptr<TStream> stream;
    uint64_t size;
  };
  // Two batches in turn: one is encoded on the encoder's threads while the other is filled
  // and, before that, its records written, so no core waits on the reading and writing.
  struct TBatch {
    std::vector<uint8_t> input;
    size_t size = 0;
    TCabBlockEncoder blocks; // declared after input: it stops its threads first
  };

  void FlushFolder();
  // A new piece at the end of the spool.
  void OpenSpoolPiece();
  void WriteSpool(const uint8_t* data, uint32_t size);
  void ReadSource(TStream& source, CabFormat::TFileFields& entry);
  // Starts encoding the filled batch; the other one, if still being encoded, is finished first
  // so that the next can be filled. Meanwhile the caller reads on.
  void EncodePending();
  // Waits for the batch started first and puts its records into the spool.
  void FinishOldestBatch();
  uint64_t InputBeingEncoded() const;
  // Header, folder and file entries, measured first and then written in one piece.
  std::string BuildTables(uint32_t cabinetSize) const;
  uint32_t FilesOffset() const;
  uint32_t TablesSize() const;
  void CopySpoolTo(TStream& cabinet);

  TCabSpool& FSpoolMaker;
  const CabFormat::TCabCompression FType;
  const uint32_t FFolderThreshold;
  const TCabPreviousFolder* FPrevious = nullptr; // offers blocks to the first folder
  TByteProgress* FProgress = nullptr;

  std::deque<TSpoolPiece> FSpool; // in the order the blocks were written
  uint64_t FSpoolSize = 0;        // of all pieces

  std::vector<TFolderEntry> FFolders;
  std::vector<CabFormat::TFileFields> FFiles;
  bool FFolderOpen = false;
  TFolderEntry FFolder{};
  uint64_t FFolderUncompressed = 0;
  uint64_t FFolderCompressed = 0;

  TBatch FBatches[2];
  size_t FFilling = 0;          // the batch taking input
  std::deque<size_t> FEncoding; // batches being encoded, the first started first
  size_t FPendingSize = 0;      // input in the filling batch
};
