#include "cab/u_CabDecompressor.h"

#include "cab/u_CabBlockAhead.h"
#include "cab/u_CabFormat.h"
#include "common/u_ByteView.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Tables are read through a small buffer; data blocks mostly straight into their own buffer.
constexpr size_t InputBufferSize = 4096;
constexpr uint32_t CallbackFailed = UINT32_MAX;
constexpr intptr_t NoHandle = -1;
constexpr intptr_t NotifyAbort = -1;
constexpr int32_t SeekFromBeginning = 0;

// A failed step with the library code it ends the call with.
struct TFdiFailure {
  int32_t code;
};

[[noreturn]] void Fail(int32_t code) {
  throw TFdiFailure{code};
}

std::string BoundedText(const char* text, size_t capacity) {
  return text ? std::string(text, strnlen(text, capacity)) : std::string();
}

// A text handed to the notify callback in a buffer of the size the contract promises.
struct TNotifyText {
  explicit TNotifyText(const std::string& text) {
    std::memcpy(buffer, text.data(), std::min(text.size(), sizeof buffer - 1));
  }
  char buffer[CB_MAX_CABINET_NAME] = {};
};

// Reads a cabinet through the caller's read and seek callbacks. Running out of bytes means
// the cabinet is shorter than its records say.
class TCabinetInput {
public:
  TCabinetInput(PFNREAD read, PFNSEEK seek, intptr_t file, void* user)
      : FReadFile(read), FSeekFile(seek), FFile(file), FUser(user), FBuffer(InputBufferSize) {}

  void SeekTo(uint32_t offset) {
    FBegin = FEnd = 0;
    FTarget = offset;
    FSeekPending = true;
  }

  // Reads exactly size bytes, or fails with code.
  void Read(void* out, size_t size, int32_t code = FDIERROR_CORRUPT_CABINET) {
    if (size == 0)
      return;
    auto* to = static_cast<uint8_t*>(out);
    const size_t buffered = std::min(size, FEnd - FBegin);
    std::memcpy(to, FBuffer.data() + FBegin, buffered);
    FBegin += buffered;
    to += buffered;
    size -= buffered;
    if (size >= FBuffer.size()) {
      if (ReadFile(to, size) != size)
        Fail(code);
    } else if (size > 0) {
      FBegin = 0;
      FEnd = ReadFile(FBuffer.data(), FBuffer.size());
      if (FEnd < size)
        Fail(code);
      std::memcpy(to, FBuffer.data(), size);
      FBegin = size;
    }
  }

  // A zero-terminated name of at most 255 bytes.
  std::string ReadName() {
    std::string name;
    for (;;) {
      char c;
      Read(&c, 1);
      if (c == '\0')
        return name;
      if (name.size() == CabFormat::MaxNameLength)
        Fail(FDIERROR_CORRUPT_CABINET);
      name.push_back(c);
    }
  }

private:
  size_t ReadFile(uint8_t* out, size_t size) {
    if (FSeekPending) {
      if (FSeekFile(FFile, int32_t(FTarget), SeekFromBeginning, FUser) != int32_t(FTarget))
        Fail(FDIERROR_CORRUPT_CABINET);
      FSeekPending = false;
    }
    const uint32_t got = FReadFile(FFile, out, uint32_t(size), FUser);
    if (got == CallbackFailed || got > size)
      Fail(FDIERROR_CORRUPT_CABINET);
    return got;
  }

  PFNREAD FReadFile;
  PFNSEEK FSeekFile;
  intptr_t FFile;
  void* FUser;
  std::vector<uint8_t> FBuffer;
  size_t FBegin = 0;
  size_t FEnd = 0;
  uint32_t FTarget = 0;
  bool FSeekPending = false;
};

struct TCabinetHeader : CabFormat::THeaderFields, CabFormat::TReserveSizes {
  std::string prevCabinet, prevDisk, nextCabinet, nextDisk;
};

struct TFileEntry {
  uint32_t size;
  uint32_t offset;
  uint16_t folder;
  uint16_t date;
  uint16_t time;
  uint16_t attribs;
  std::string name;
};

// The fixed header fields; the reserve sizes when present.
TCabinetHeader ReadFixedHeader(TCabinetInput& input) {
  using namespace CabFormat;
  uint8_t bytes[HeaderSize + HeaderReserveSize];
  input.SeekTo(0);
  input.Read(bytes, HeaderSize, FDIERROR_NOT_A_CABINET);
  TCabinetHeader header;
  static_cast<THeaderFields&>(header) = ReadHeaderFields(TByteView(bytes, HeaderSize));
  if (header.signature != Signature)
    Fail(FDIERROR_NOT_A_CABINET);
  if (header.versionMajor != VersionMajor || header.versionMinor != VersionMinor)
    Fail(FDIERROR_UNKNOWN_CABINET_VERSION);
  if (header.flags & FlagReservePresent) {
    input.Read(bytes, HeaderReserveSize);
    static_cast<TReserveSizes&>(header) = ReadReserveSizes(TByteView(bytes, HeaderReserveSize));
    if (header.headerReserve > MaxHeaderReserve)
      Fail(FDIERROR_CORRUPT_CABINET);
  }
  return header;
}

TCabinetHeader ReadHeader(TCabinetInput& input) {
  TCabinetHeader header = ReadFixedHeader(input);
  std::vector<uint8_t> reserve(header.headerReserve);
  input.Read(reserve.data(), reserve.size());
  if (header.flags & CabFormat::FlagPrevCabinet) {
    header.prevCabinet = input.ReadName();
    header.prevDisk = input.ReadName();
  }
  if (header.flags & CabFormat::FlagNextCabinet) {
    header.nextCabinet = input.ReadName();
    header.nextDisk = input.ReadName();
  }
  return header;
}

std::vector<CabFormat::TFolderFields> ReadFolders(TCabinetInput& input,
                                                  const TCabinetHeader& header) {
  std::vector<CabFormat::TFolderFields> folders;
  std::vector<uint8_t> record(CabFormat::FolderSize + header.folderReserve);
  for (uint16_t i = 0; i < header.folders; ++i) {
    input.Read(record.data(), record.size());
    folders.push_back(CabFormat::ReadFolderFields(TByteView(record.data(), record.size())));
  }
  return folders;
}

std::vector<TFileEntry> ReadFiles(TCabinetInput& input, const TCabinetHeader& header) {
  std::vector<TFileEntry> files;
  input.SeekTo(header.filesOffset);
  uint8_t record[CabFormat::FileSize];
  for (uint16_t i = 0; i < header.files; ++i) {
    input.Read(record, sizeof record);
    TByteCursor fields(TByteView(record, sizeof record));
    TFileEntry file;
    file.size = fields.U32("cbFile");
    file.offset = fields.U32("uoffFolderStart");
    file.folder = fields.U16("iFolder");
    file.date = fields.U16("date");
    file.time = fields.U16("time");
    file.attribs = fields.U16("attribs");
    file.name = input.ReadName();
    files.push_back(std::move(file));
  }
  return files;
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
  template <typename Sink>
  void Extract(size_t folderIndex, uint32_t offset, uint32_t size, Sink sink) {
    if (size == 0)
      return;
    if (folderIndex != FFolderIndex)
      Restart(folderIndex);
    else if (offset < FExtractedEnd)
      // Members overlapping each other would make one folder cost its size once per member.
      Fail(FDIERROR_CORRUPT_CABINET);
    uint64_t position = offset;
    const uint64_t end = uint64_t(offset) + size;
    while (position < end) {
      if (position >= FBlockStart + FBlockSize) {
        NextBlock();
        continue;
      }
      const uint64_t pieceEnd = std::min(end, FBlockStart + FBlockSize);
      sink(FBlockData + (position - FBlockStart), size_t(pieceEnd - position));
      position = pieceEnd;
    }
    FExtractedEnd = end;
  }

private:
  void Restart(size_t folderIndex) {
    const CabFormat::TFolderFields& folder = FFolders[folderIndex];
    const TCOMP type = folder.compression & tcompMASK_TYPE;
    if (type != tcompTYPE_NONE && type != tcompTYPE_MSZIP)
      Fail(FDIERROR_BAD_COMPR_TYPE);
    FAhead.reset(); // its thread stops before a new one starts
    FAhead = std::make_unique<TCabBlockAhead>(type == tcompTYPE_MSZIP, folder.blocks);
    FFolderIndex = folderIndex;
    FBlocksRead = 0;
    FReadFailure = FDIERROR_NONE;
    FBlockStart = 0;
    FBlockSize = 0;
    FExtractedEnd = 0;
    FInput.SeekTo(folder.dataOffset);
  }

  void NextBlock() {
    // Reads ahead while there is room: a block that cannot be read fails only once it is needed.
    const CabFormat::TFolderFields& folder = FFolders[FFolderIndex];
    while (FReadFailure == FDIERROR_NONE && FBlocksRead < folder.blocks) {
      TCabDataBlock* block = FAhead->Room();
      if (!block)
        break;
      try {
        ReadBlock(*block);
      } catch (const TFdiFailure& failure) {
        FReadFailure = failure.code;
        break;
      }
      FAhead->Push();
      ++FBlocksRead;
    }
    if (FAhead->Pending() == 0) // else a file reaches beyond its folder's data
      Fail(FReadFailure != FDIERROR_NONE ? FReadFailure : FDIERROR_CORRUPT_CABINET);
    const TCabBlockOutput output = FAhead->Take();
    if (output.Failure)
      Fail(output.Failure);
    FBlockData = output.Data;
    FBlockStart += FBlockSize;
    FBlockSize = output.Size;
  }

  void ReadBlock(TCabDataBlock& block) {
    using namespace CabFormat;
    block.RecordSize = DataSize + FReserve;
    FInput.Read(block.Record, block.RecordSize);
    const auto [checksum, encodedSize, outputSize] =
        ReadDataFields(TByteView(block.Record, block.RecordSize));
    if (encodedSize > MaxBlockCompressed || outputSize > MaxBlockUncompressed)
      Fail(FDIERROR_CORRUPT_CABINET);
    FInput.Read(block.Encoded, encodedSize);
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
  int32_t FReadFailure = FDIERROR_NONE; // why the block after the last one read could not be
  uint64_t FBlockStart = 0;             // folder offset of the current block's output
  uint64_t FBlockSize = 0;
  uint64_t FExtractedEnd = 0; // folder offset where the last extracted member ended
  const uint8_t* FBlockData = nullptr;
};

// The order in which files are offered: by folder and by offset inside it, whatever the order
// of the file list, so that each folder is decoded once from its start. Files of equal place
// keep their list order; those continued across cabinets (special folder indices) come last.
std::vector<size_t> ExtractionOrder(const std::vector<TFileEntry>& files) {
  std::vector<size_t> order(files.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::tie(files[a].folder, files[a].offset) < std::tie(files[b].folder, files[b].offset);
  });
  return order;
}

class TCabDecompressor {
public:
  TCabDecompressor(PFNFREE freeMemory, PFNOPEN open, PFNREAD read, PFNWRITE write, PFNCLOSE close,
                   PFNSEEK seek, ERF* error, void* user)
      : FFree(freeMemory), FOpen(open), FRead(read), FWrite(write), FClose(close), FSeek(seek),
        FError(error), FUser(user) {}

  ERF* Error() const { return FError; }
  PFNFREE FreeMemory() const { return FFree; }

  void IsCabinet(intptr_t file, FDICABINETINFO& info);
  void Copy(const std::string& cabinetName, const std::string& cabinetPath, PFNFDINOTIFY notify,
            void* user);

private:
  void CopyFiles(TCabinetInput& input, const std::string& cabinetPath, PFNFDINOTIFY notify,
                 void* user);
  void CopyFile(TFolderReader& folders, const TCabinetHeader& header, const TFileEntry& file,
                size_t folderIndex, intptr_t target, void* user, PFNFDINOTIFY notify);
  // Announces the next cabinet of the set; always fails, the abort or the set not being read.
  [[noreturn]] void RequestNextCabinet(const TCabinetHeader& header, const std::string& cabinetPath,
                                       PFNFDINOTIFY notify, void* user);

  PFNFREE FFree;
  PFNOPEN FOpen;
  PFNREAD FRead;
  PFNWRITE FWrite;
  PFNCLOSE FClose;
  PFNSEEK FSeek;
  ERF* FError;
  void* FUser; // handed to every file callback
};

void TCabDecompressor::IsCabinet(intptr_t file, FDICABINETINFO& info) {
  TCabinetInput input(FRead, FSeek, file, FUser);
  const TCabinetHeader header = ReadFixedHeader(input);
  info.cbCabinet = int32_t(header.cabinetSize);
  info.cFolders = header.folders;
  info.cFiles = header.files;
  info.setID = header.setID;
  info.iCabinet = header.cabinetIndex;
  info.fReserve = (header.flags & CabFormat::FlagReservePresent) != 0;
  info.hasprev = (header.flags & CabFormat::FlagPrevCabinet) != 0;
  info.hasnext = (header.flags & CabFormat::FlagNextCabinet) != 0;
}

FDINOTIFICATION Notification(const TCabinetHeader& header, void* user) {
  FDINOTIFICATION n{};
  n.pv = user;
  n.setID = header.setID;
  n.iCabinet = header.cabinetIndex;
  n.fdie = FDIERROR_NONE;
  return n;
}

void TCabDecompressor::CopyFile(TFolderReader& folders, const TCabinetHeader& header,
                                const TFileEntry& file, size_t folderIndex, intptr_t target,
                                void* user, PFNFDINOTIFY notify) {
  try {
    folders.Extract(folderIndex, file.offset, file.size, [&](const uint8_t* data, size_t size) {
      if (FWrite(target, const_cast<uint8_t*>(data), uint32_t(size), FUser) != size)
        Fail(FDIERROR_TARGET_FILE);
    });
  } catch (...) {
    FClose(target, FUser);
    throw;
  }
  TNotifyText name(file.name);
  FDINOTIFICATION n = Notification(header, user);
  n.psz1 = name.buffer;
  n.hf = target;
  n.date = file.date;
  n.time = file.time;
  n.attribs = file.attribs;
  n.iFolder = file.folder;
  n.cb = (file.attribs & cabAttrExec) != 0;
  // The callback closes the file whatever it answers; FALSE and -1 both mean failure.
  const intptr_t closed = notify(fdintCLOSE_FILE_INFO, &n);
  if (closed == 0 || closed == NotifyAbort)
    Fail(FDIERROR_USER_ABORT);
}

void TCabDecompressor::RequestNextCabinet(const TCabinetHeader& header,
                                          const std::string& cabinetPath, PFNFDINOTIFY notify,
                                          void* user) {
  TNotifyText nextCabinet(header.nextCabinet), nextDisk(header.nextDisk), path(cabinetPath);
  FDINOTIFICATION n = Notification(header, user);
  n.psz1 = nextCabinet.buffer;
  n.psz2 = nextDisk.buffer;
  n.psz3 = path.buffer;
  if (notify(fdintNEXT_CABINET, &n) == NotifyAbort)
    Fail(FDIERROR_USER_ABORT);
  // The rest of the set would be read from the next cabinet, and sets are not read here.
  Fail(FDIERROR_WRONG_CABINET);
}

void TCabDecompressor::CopyFiles(TCabinetInput& input, const std::string& cabinetPath,
                                 PFNFDINOTIFY notify, void* user) {
  const TCabinetHeader header = ReadHeader(input);
  const std::vector<CabFormat::TFolderFields> folders = ReadFolders(input, header);
  const std::vector<TFileEntry> files = ReadFiles(input, header);

  {
    TNotifyText nextCabinet(header.nextCabinet), nextDisk(header.nextDisk), path(cabinetPath);
    FDINOTIFICATION n = Notification(header, user);
    n.psz1 = nextCabinet.buffer;
    n.psz2 = nextDisk.buffer;
    n.psz3 = path.buffer;
    if (notify(fdintCABINET_INFO, &n) == NotifyAbort)
      Fail(FDIERROR_USER_ABORT);
  }

  TFolderReader folderReader(input, folders, header.dataReserve);
  for (const size_t index : ExtractionOrder(files)) {
    const TFileEntry& file = files[index];
    if (file.folder == CabFormat::FolderContinuedFromPrev ||
        file.folder == CabFormat::FolderContinuedPrevAndNext) {
      TNotifyText name(file.name), prevCabinet(header.prevCabinet), prevDisk(header.prevDisk);
      FDINOTIFICATION n = Notification(header, user);
      n.psz1 = name.buffer;
      n.psz2 = prevCabinet.buffer;
      n.psz3 = prevDisk.buffer;
      if (notify(fdintPARTIAL_FILE, &n) == NotifyAbort)
        Fail(FDIERROR_USER_ABORT);
      continue;
    }
    // A file continued in the next cabinet belongs to this cabinet's last folder.
    const size_t folderIndex =
        file.folder == CabFormat::FolderContinuedToNext ? folders.size() - 1 : file.folder;
    if (folderIndex >= folders.size())
      Fail(FDIERROR_CORRUPT_CABINET);

    TNotifyText name(file.name);
    FDINOTIFICATION n = Notification(header, user);
    n.psz1 = name.buffer;
    n.cb = int32_t(file.size);
    n.date = file.date;
    n.time = file.time;
    n.attribs = file.attribs;
    n.iFolder = file.folder;
    const intptr_t target = notify(fdintCOPY_FILE, &n);
    if (target == NotifyAbort)
      Fail(FDIERROR_USER_ABORT);
    if (file.folder == CabFormat::FolderContinuedToNext) {
      if (target != 0)
        FClose(target, FUser);
      RequestNextCabinet(header, cabinetPath, notify, user);
    }
    if (target != 0)
      CopyFile(folderReader, header, file, folderIndex, target, user, notify);
  }
}

void TCabDecompressor::Copy(const std::string& cabinetName, const std::string& cabinetPath,
                            PFNFDINOTIFY notify, void* user) {
  std::string fullName = cabinetPath + cabinetName;
  const intptr_t cabinet = FOpen(fullName.data(), cofBinary | cofRdOnly, cpmRead | cpmWrite, FUser);
  if (cabinet == NoHandle)
    Fail(FDIERROR_CABINET_NOT_FOUND);
  try {
    TCabinetInput input(FRead, FSeek, cabinet, FUser);
    CopyFiles(input, cabinetPath, notify, user);
  } catch (...) {
    FClose(cabinet, FUser);
    throw;
  }
  FClose(cabinet, FUser);
}

TCabDecompressor* Context(HFDI hfdi) {
  return static_cast<TCabDecompressor*>(hfdi);
}

// Runs one call of the contract: a failure fills the error record and gives FALSE.
template <typename Step> int32_t Guarded(ERF* error, Step step) {
  try {
    step();
    return 1;
  } catch (const TFdiFailure& failure) {
    *error = ERF{failure.code, 0, 1};
  } catch (const std::bad_alloc&) {
    *error = ERF{FDIERROR_ALLOC_FAIL, 0, 1};
  } catch (const EDamagedData&) {
    *error = ERF{FDIERROR_CORRUPT_CABINET, 0, 1};
  } catch (...) {
    *error = ERF{FDIERROR_MDI_FAIL, 0, 1};
  }
  return 0;
}

} // namespace

namespace CabDecompressor {

HFDI Create(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
            PFNCLOSE pfnclose, PFNSEEK pfnseek, int32_t, ERF* perf, void* pv) {
  void* memory = pfnalloc(sizeof(TCabDecompressor));
  if (!memory) {
    *perf = ERF{FDIERROR_ALLOC_FAIL, 0, 1};
    return nullptr;
  }
  return new (memory)
      TCabDecompressor(pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, perf, pv);
}

int32_t IsCabinet(HFDI hfdi, intptr_t hf, FDICABINETINFO* pfdici) {
  TCabDecompressor* context = Context(hfdi);
  return Guarded(context->Error(), [&] { context->IsCabinet(hf, *pfdici); });
}

// Copy flags and decryption have no use for the cabinets read here.
int32_t Copy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int32_t, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT, void* pvUser) {
  TCabDecompressor* context = Context(hfdi);
  return Guarded(context->Error(), [&] {
    context->Copy(BoundedText(pszCabinet, CB_MAX_CABINET_NAME),
                  BoundedText(pszCabPath, CB_MAX_CAB_PATH), pfnfdin, pvUser);
  });
}

int32_t Destroy(HFDI hfdi) {
  TCabDecompressor* context = Context(hfdi);
  if (!context)
    return 0;
  const PFNFREE freeMemory = context->FreeMemory();
  context->~TCabDecompressor();
  freeMemory(context);
  return 1;
}

} // namespace CabDecompressor
