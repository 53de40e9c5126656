#include "cab/u_MFSCab.h"

#include "cab/CabConsts.h"
#include "cab/u_CabCompressor.h"
#include "cab/u_CabFormat.h"
#include "cab/u_CabMszip.h"
#include "common/u_Common.h"
#include "common/u_FileIO.h"
#include "common/u_Streams.h"
#include "mfs/u_MFS.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr intptr_t NoHandle = -1;
constexpr int32_t CallbackFailure = -1;
// The flags the reader opens with: binary read-only; binary, create, sequential, write-only.
constexpr int32_t OpenForReading = cofBinary | cofRdOnly;
constexpr int32_t OpenForExtracting = cofBinary | cofCreat | cofSequential | cofWrOnly;
constexpr int32_t ExtractPermission = cpmRead | cpmWrite;
// File flags of CreateFileStream for the C run-time's flags.
constexpr uint32_t FileAttributeNormal = 0x80;
constexpr uint32_t FileAttributeTemporary = 0x100;
constexpr uint32_t FileFlagRandomAccess = 0x10000000;
constexpr uint32_t FileFlagSequentialScan = 0x08000000;
// Attributes a cabinet entry takes from a file (read-only, hidden, system, archive), and the
// ones an extracted file takes from its entry.
constexpr uint32_t PackedAttributeMask = 0x27;
constexpr uint32_t ExtractedAttributeMask = 0x3F;
// Tool-made cabinets are far below this; the library's own limits lie beyond it.
constexpr uint32_t MaxCabinetSize = 0x7FFFFFFF;
constexpr uint32_t FolderSizeThreshold = 0x7FFFFFFF;
constexpr size_t MaxCabinetNameLength = 255;
constexpr const char* TempFilePrefix = "fci";
// Deflate turns no input into more than 1032 times its size.
constexpr int64_t MaxDeflateExpansion = 1032;

// A handle is a stream: a session file's, or a source the writer was given as a stream.
intptr_t HandleOf(TStream* stream) {
  return reinterpret_cast<intptr_t>(stream);
}
TStream* StreamOf(intptr_t handle) {
  return reinterpret_cast<TStream*>(handle);
}
// The reader's handles other than a TStreamRef are session files.
TMFSFileStream* FileStreamOf(intptr_t handle) {
  return static_cast<TMFSFileStream*>(StreamOf(handle));
}

// A handle on a caller's stream (an extraction target, or the cabinet itself): the library
// frees handles, the stream stays.
class TStreamRef : public TStream {
public:
  explicit TStreamRef(TStream& stream) : FStream(stream) {}
  int64_t Read(void* buffer, int64_t count) override { return FStream.Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override { return FStream.Write(buffer, count); }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return FStream.Seek(offset, origin); }
  void SetSize(int64_t newSize) override { FStream.SetSize(newSize); }
  int64_t Size() override { return FStream.Size(); }

private:
  TStream& FStream;
};

std::string CodeText(const ERF& error, bool compression) {
  return compression ? FCIErrorText(error.erfOper) : FDIErrorText(error.erfOper);
}

std::string SystemErrorMessage(const ERF& error, const std::string& lastError, bool compression) {
  if (!error.fError)
    return compression ? SFCIError : SFDIError;
  std::string message =
      Format("%s [0x%.4X]", CodeText(error, compression).c_str(), uint32_t(error.erfOper));
  if (error.erfType != 0)
    message += ".\r\n" + lastError;
  return message;
}

void CopyCut(char* target, size_t capacity, const std::string& text, size_t maxLength) {
  const size_t length = std::min({text.size(), maxLength, capacity - 1});
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

} // namespace

EMFSCabSystemError::EMFSCabSystemError(const ERF& error, const std::string& lastError,
                                       bool compression)
    : EMFSCabError(SystemErrorMessage(error, lastError, compression)), FErrorCode(error.erfOper),
      FErrorType(error.erfType), FErrorPresent(error.fError != 0), FCompression(compression) {}

bool EMFSCabSystemError::DamagedCabinet() const {
  if (FCompression)
    return false;
  switch (FErrorCode) {
  case FDIERROR_NOT_A_CABINET:
  case FDIERROR_UNKNOWN_CABINET_VERSION:
  case FDIERROR_CORRUPT_CABINET:
  case FDIERROR_BAD_COMPR_TYPE:
  case FDIERROR_MDI_FAIL:
  case FDIERROR_RESERVE_MISMATCH:
  case FDIERROR_WRONG_CABINET:
    return true;
  default:
    return false;
  }
}

uint32_t CabOpenDisposition(int32_t openFlags) {
  const bool create = openFlags & cofCreat;
  if ((openFlags & cofExcl) && create)
    return CREATE_NEW;
  if ((openFlags & cofTrunc) && create)
    return CREATE_ALWAYS;
  if (openFlags & cofTrunc)
    return TRUNCATE_EXISTING;
  if (create)
    return OPEN_ALWAYS;
  return OPEN_EXISTING;
}

uint32_t CabOpenFileFlags(int32_t openFlags) {
  const bool create = openFlags & cofCreat;
  uint32_t flags =
      (openFlags & cofShortLived) && create ? FileAttributeTemporary : FileAttributeNormal;
  if (openFlags & cofRandom)
    flags |= FileFlagRandomAccess;
  if (openFlags & cofSequential)
    flags |= FileFlagSequentialScan;
  if ((openFlags & cofTemporary) && create)
    flags |= FILE_FLAG_DELETE_ON_CLOSE;
  return flags;
}

// The functions handed to the library. None lets an exception pass back into it: a failure is
// recorded on its object and answered with the library's failure value.
struct TMFSCabCallbacks {
  // Runs body for cabinet; on an exception records it, stores -1 in errorSlot and returns
  // failure.
  template <typename Result, typename Body>
  static Result Guarded(TMFSCabBase& cabinet, int32_t* errorSlot, Result failure, Body body) {
    try {
      return body();
    } catch (...) {
      cabinet.RecordException();
      if (errorSlot)
        *errorSlot = CallbackFailure;
      return failure;
    }
  }

  // Bodies shared by both directions.
  static intptr_t Open(TMFSCabBase& cabinet, int32_t* err, const char* name, int32_t flags) {
    return Guarded(cabinet, err, NoHandle,
                   [&] { return HandleOf(cabinet.OpenLibraryStream(name, flags)); });
  }
  static uint32_t Read(TMFSCabBase& cabinet, int32_t* err, intptr_t hf, void* buffer,
                       uint32_t count) {
    return Guarded(cabinet, err, uint32_t(CallbackFailure),
                   [&] { return uint32_t(StreamOf(hf)->Read(buffer, count)); });
  }
  static uint32_t Write(TMFSCabBase& cabinet, int32_t* err, intptr_t hf, const void* buffer,
                        uint32_t count) {
    return Guarded(cabinet, err, uint32_t(CallbackFailure),
                   [&] { return uint32_t(StreamOf(hf)->Write(buffer, count)); });
  }
  static int32_t Close(TMFSCabBase& cabinet, int32_t* err, intptr_t hf) {
    return Guarded(cabinet, err, CallbackFailure, [&] {
      if (hf != NoHandle)
        delete StreamOf(hf);
      return 0;
    });
  }
  static int32_t Seek(TMFSCabBase& cabinet, int32_t* err, intptr_t hf, int32_t distance,
                      int32_t origin) {
    return Guarded(cabinet, err, CallbackFailure, [&] {
      // Origins beyond the three leave the position where it is.
      const bool known = origin >= soBeginning && origin <= soEnd;
      return int32_t(
          StreamOf(hf)->Seek(known ? distance : 0, known ? TSeekOrigin(origin) : soCurrent));
    });
  }

  static void* Alloc(uint32_t size) { return std::calloc(1, size); }
  static void Free(void* memory) { std::free(memory); }

  // Compressor callbacks: the writer comes as the user value, errors go through err.
  static TMFSCabWriter& Writer(void* pv) { return *static_cast<TMFSCabWriter*>(pv); }
  static intptr_t FciOpen(char* name, int32_t flags, int32_t, int32_t* err, void* pv) {
    return Open(Writer(pv), err, name, flags);
  }
  static uint32_t FciRead(intptr_t hf, void* buffer, uint32_t count, int32_t* err, void* pv) {
    return Read(Writer(pv), err, hf, buffer, count);
  }
  static uint32_t FciWrite(intptr_t hf, void* buffer, uint32_t count, int32_t* err, void* pv) {
    return Write(Writer(pv), err, hf, buffer, count);
  }
  static int32_t FciClose(intptr_t hf, int32_t* err, void* pv) {
    return Close(Writer(pv), err, hf);
  }
  static int32_t FciSeek(intptr_t hf, int32_t distance, int32_t origin, int32_t* err, void* pv) {
    return Seek(Writer(pv), err, hf, distance, origin);
  }
  static int32_t FciDelete(char* name, int32_t* err, void* pv) {
    TMFSCabWriter& writer = Writer(pv);
    return Guarded(writer, err, CallbackFailure, [&] {
      // A file kept on disk has no name: closing it was its end.
      if (*name && writer.FDiskFolder.empty())
        writer.Session().DeleteItem(name);
      return 0;
    });
  }
  static int32_t FciTempName(char* buffer, int32_t size, void* pv) {
    TMFSCabWriter& writer = Writer(pv);
    return Guarded(writer, nullptr, 0, [&] { return writer.TemporaryName(buffer, size); });
  }
  static intptr_t FciOpenInfo(char* name, uint16_t* date, uint16_t* time, uint16_t* attributes,
                              int32_t* err, void* pv) {
    TMFSCabWriter& writer = Writer(pv);
    return Guarded(writer, err, NoHandle,
                   [&] { return writer.OpenInfo(name, date, time, attributes); });
  }
  static int32_t FciFilePlaced(CCAB*, char*, int32_t, int32_t, void*) { return 0; }
  static int32_t FciNextCabinet(CCAB*, uint32_t, void*) { return 0; }
  // A file status tells the uncompressed bytes of the blocks just compressed.
  static int32_t FciStatus(uint32_t kind, uint32_t, uint32_t uncompressed, void* pv) {
    if (kind == statusFile)
      Writer(pv).FProgress.Advance(uncompressed);
    return 1;
  }

  // Decompressor callbacks: the reader comes as the user value, errors go to its CallbackError.
  static TMFSCabReader& Reader(void* pv) { return *static_cast<TMFSCabReader*>(pv); }
  static intptr_t FdiOpen(char* name, int32_t flags, int32_t, void* pv) {
    TMFSCabReader& reader = Reader(pv);
    return Open(reader, &reader.FCallbackError, name, flags);
  }
  static uint32_t FdiRead(intptr_t hf, void* buffer, uint32_t count, void* pv) {
    TMFSCabReader& reader = Reader(pv);
    return Read(reader, &reader.FCallbackError, hf, buffer, count);
  }
  static uint32_t FdiWrite(intptr_t hf, void* buffer, uint32_t count, void* pv) {
    TMFSCabReader& reader = Reader(pv);
    // The decompressor writes only the member being extracted.
    const uint32_t written = Write(reader, &reader.FCallbackError, hf, buffer, count);
    if (written != uint32_t(CallbackFailure))
      reader.FProgress.Advance(written);
    return written;
  }
  static int32_t FdiClose(intptr_t hf, void* pv) {
    TMFSCabReader& reader = Reader(pv);
    return Close(reader, &reader.FCallbackError, hf);
  }
  static int32_t FdiSeek(intptr_t hf, int32_t distance, int32_t origin, void* pv) {
    TMFSCabReader& reader = Reader(pv);
    return Seek(reader, &reader.FCallbackError, hf, distance, origin);
  }
  static intptr_t FdiNotify(FDINOTIFICATIONTYPE kind, FDINOTIFICATION* info) {
    TMFSCabReader& reader = Reader(info->pv);
    reader.FCallbackError = 0;
    return Guarded(reader, &reader.FCallbackError, intptr_t(CallbackFailure), [&]() -> intptr_t {
      switch (kind) {
      case fdintPARTIAL_FILE:
      case fdintNEXT_CABINET:
        throw EMFSCabReaderError(SSpannedCabinetsUnsupported);
      case fdintCOPY_FILE:
        return reader.CopyFile(info->psz1, info->cb);
      case fdintCLOSE_FILE_INFO:
        return reader.CloseFileInfo(*info);
      default:
        return 0;
      }
    });
  }
};

TMFSCabBase::TMFSCabBase(TMFSSession& session, const std::string& cabinetPath)
    : FSession(&session), FCabinetPath(session.ExpandPath(cabinetPath)) {}

void TMFSCabBase::CheckResult(int32_t result) {
  if (result == 1)
    return;
  CompleteErrorInfo();
  throw EMFSCabSystemError(FErrorInfo, FLastError, IsCompressor());
}

TMFSFileStream* TMFSCabBase::OpenStream(const std::string& name, int32_t openFlags) {
  std::unique_ptr<TMFSFileStream> stream =
      FSession->CreateFileStream(name, CabOpenDisposition(openFlags), CabOpenFileFlags(openFlags));
  if (openFlags & cofAppend)
    stream->Seek(0, soEnd);
  return stream.release();
}

TStream* TMFSCabBase::OpenLibraryStream(const std::string& name, int32_t openFlags) {
  return OpenStream(name, openFlags);
}

void TMFSCabBase::RecordException() {
  FLastError = GetExceptionMessage();
}

TMFSCabReader::TMFSCabReader(TMFSSession& session, const std::string& cabinetPath, TStream* cabinet)
    : TMFSCabBase(session, cabinetPath), FCabinet(cabinet) {
  FHandle =
      FDICreate(TMFSCabCallbacks::Alloc, TMFSCabCallbacks::Free, TMFSCabCallbacks::FdiOpen,
                TMFSCabCallbacks::FdiRead, TMFSCabCallbacks::FdiWrite, TMFSCabCallbacks::FdiClose,
                TMFSCabCallbacks::FdiSeek, cpuUNKNOWN, &FErrorInfo, this);
  if (!FHandle)
    CheckResult(0);
  try {
    FDICABINETINFO info{};
    std::unique_ptr<TStream> cabinet(OpenLibraryStream(FCabinetPath, OpenForReading));
    const bool isCabinet = FDIIsCabinet(FHandle, HandleOf(cabinet.get()), &info);
    cabinet.reset();
    if (!isCabinet)
      throw EMFSCabReaderError(Format(SNotACabinet, cabinetPath.c_str()));
    FCabinetSize = info.cbCabinet;
    FFileCount = info.cFiles;
  } catch (...) {
    Release();
    throw;
  }
}

// Releasing the context cannot fail in a way worth reporting, and a destructor must not raise.
TMFSCabReader::~TMFSCabReader() {
  Release();
}

void TMFSCabReader::Release() {
  if (FHandle)
    FDIDestroy(FHandle);
  FHandle = nullptr;
}

void TMFSCabReader::Extract(const std::string& nameInCabinet, const std::string& targetPath) {
  FNameToExtract = nameInCabinet;
  FTargetPath = Session().ExpandPath(targetPath);
  CheckResult(CopyCabinet());
}

bool TMFSCabReader::ExtractTo(const std::string& nameInCabinet, TStream& target) {
  FNameToExtract = nameInCabinet;
  FTargetPath.clear();
  FTargetStream = &target;
  FTargetFound = false;
  const int32_t result = CopyCabinet();
  FTargetStream = nullptr;
  CheckResult(result);
  return FTargetFound;
}

int32_t TMFSCabReader::CopyCabinet() {
  std::string name = TMFS::ExtractName(FCabinetPath);
  std::string path = TMFS::ExtractPath(FCabinetPath);
  return FDICopy(FHandle, name.data(), path.data(), 0, TMFSCabCallbacks::FdiNotify, nullptr, this);
}

intptr_t TMFSCabReader::CopyFile(const char* nameInCabinet, int32_t declaredSize) {
  if (Session().FS()->CodePage().CompareText(nameInCabinet, FNameToExtract) != 0)
    return 0;
  if (int64_t(uint32_t(declaredSize)) > FExtractLimit)
    throw EMFSCabReaderError(
        Format("File \"%s\" would unpack to %u MB, more than the %lld MB allowed", nameInCabinet,
               uint32_t(declaredSize) >> 20, static_cast<long long>(FExtractLimit >> 20)));
  if (FTargetStream) {
    FTargetFound = true;
    FProgress.Start(uint32_t(declaredSize));
    return HandleOf(new TStreamRef(*FTargetStream));
  }
  Session().ForceFolders(TMFS::ExtractPath(FTargetPath));
  // Failing, the open has recorded its error and left -1 in CallbackError.
  const intptr_t handle =
      TMFSCabCallbacks::FdiOpen(FTargetPath.data(), OpenForExtracting, ExtractPermission, this);
  if (handle != NoHandle) {
    ReserveTarget(*FileStreamOf(handle), uint32_t(declaredSize));
    FProgress.Start(uint32_t(declaredSize));
  }
  return handle;
}

// Room for the whole file at once spares the content its growing copies. A declared size is
// believed only as far as the cabinet could expand to it.
void TMFSCabReader::ReserveTarget(TMFSFileStream& target, uint32_t declaredSize) {
  TMFSFile* file = target.File();
  const int64_t room = std::min<int64_t>({declaredSize, MaxExtractedSize(), MaxMFSLength});
  if (file && room > int64_t(file->Content().capacity()))
    file->Content().reserve(size_t(room));
}

TStream* TMFSCabReader::OpenLibraryStream(const std::string& name, int32_t openFlags) {
  if (FCabinet && Session().ExpandPath(name) == FCabinetPath)
    return new TStreamRef(*FCabinet);
  return OpenStream(name, openFlags);
}

int64_t TMFSCabReader::MaxExtractedSize() const {
  const int64_t cabinet =
      FCabinet ? FCabinet->Size() : int64_t(Session().GetFile(FCabinetPath)->Content().size());
  return cabinet * MaxDeflateExpansion;
}

intptr_t TMFSCabReader::CloseFileInfo(const FDINOTIFICATION& info) {
  if (auto* target = dynamic_cast<TStreamRef*>(StreamOf(info.hf))) {
    delete target;
    FProgress.Finish();
    return 1;
  }
  std::unique_ptr<TMFSFileStream> stream(FileStreamOf(info.hf));
  TMFSFile* file = stream->File();
  if (!file)
    throw EMFSError(Format(SFileNotFound, FTargetPath.c_str()));
  file->SetDateTime(uint32_t(info.date) << 16 | info.time);
  file->SetAttributes(info.attribs & ExtractedAttributeMask);
  FProgress.Finish();
  return 1;
}

TMFSCabWriter::TMFSCabWriter(TMFSSession& session, const std::string& tempFolder,
                             const std::string& cabinetPath)
    : TMFSCabBase(session, cabinetPath), FTempFolder(session.ExpandPath(tempFolder)) {
  FParameters.cb = MaxCabinetSize;
  FParameters.cbFolderThresh = FolderSizeThreshold;
  CopyCut(FParameters.szCab, sizeof FParameters.szCab, TMFS::ExtractName(FCabinetPath),
          MaxCabinetNameLength);
  CopyCut(FParameters.szCabPath, sizeof FParameters.szCabPath, TMFS::ExtractPath(FCabinetPath),
          MaxCabinetNameLength);
  FHandle =
      FCICreate(&FErrorInfo, TMFSCabCallbacks::FciFilePlaced, TMFSCabCallbacks::Alloc,
                TMFSCabCallbacks::Free, TMFSCabCallbacks::FciOpen, TMFSCabCallbacks::FciRead,
                TMFSCabCallbacks::FciWrite, TMFSCabCallbacks::FciClose, TMFSCabCallbacks::FciSeek,
                TMFSCabCallbacks::FciDelete, TMFSCabCallbacks::FciTempName, &FParameters, this);
  if (!FHandle)
    CheckResult(0);
}

void TMFSCabWriter::UsePreviousFolder(const TCabPreviousFolder* previous) {
  CabCompressor::UsePreviousFolder(FHandle, previous);
}

TMFSCabWriter::~TMFSCabWriter() {
  if (FHandle)
    FCIDestroy(FHandle);
}

void TMFSCabWriter::AddFile(const std::string& path) {
  std::string full = Session().ExpandPath(path);
  std::string name = TMFS::ExtractName(full);
  // A missing file is the library's open error, reported below.
  if (const auto* file =
          Session().Exists(full) ? dynamic_cast<const TMFSFile*>(Session().GetItem(full)) : nullptr)
    FAddedBytes += file->Content().size();
  ++FFilesAdded;
  CheckResult(FCIAddFile(FHandle, full.data(), name.data(), 0, TMFSCabCallbacks::FciNextCabinet,
                         TMFSCabCallbacks::FciStatus, TMFSCabCallbacks::FciOpenInfo,
                         tcompTYPE_MSZIP));
}

void TMFSCabWriter::AddStream(const std::string& name, std::unique_ptr<TStream> content,
                              uint32_t dateTime, uint32_t attributes) {
  FAddedBytes += uint64_t(std::max<int64_t>(content->Size(), 0));
  ++FFilesAdded;
  FSource = std::move(content);
  FSourceDateTime = dateTime;
  FSourceAttributes = attributes;
  std::string source = name;
  const int32_t result =
      FCIAddFile(FHandle, source.data(), source.data(), 0, TMFSCabCallbacks::FciNextCabinet,
                 TMFSCabCallbacks::FciStatus, TMFSCabCallbacks::FciOpenInfo, tcompTYPE_MSZIP);
  FSource.reset(); // not taken when the library failed before opening it
  CheckResult(result);
}

// Room for the whole cabinet before the compressor writes it: a session file that grows piece
// by piece is copied over on the way, holding both copies each time. Memory is taken only as
// it is written, so the bound may be generous: every block stored, every file in its own folder.
void TMFSCabWriter::ReserveCabinet() {
  const uint64_t files = FFilesAdded;
  const uint64_t blocks = FAddedBytes / CabFormat::MaxBlockUncompressed + files;
  const uint64_t bound =
      CabFormat::HeaderSize +
      files * (CabFormat::FolderSize + CabFormat::FileSize + CabFormat::MaxNameLength + 1) +
      blocks * CabFormat::DataSize + FAddedBytes + blocks * MszipEncodedCapacity(0);
  try {
    Session()
        .CreateFile(FCabinetPath, 0, true)
        ->Content()
        .reserve(size_t(std::min<uint64_t>(bound, MaxCabinetSize)));
  } catch (const EMFSError&) {
    // no file can be made there: the compressor's own open reports it with its code
  }
}

TStream* TMFSCabWriter::OpenLibraryStream(const std::string& name, int32_t openFlags) {
  if (FDiskFolder.empty())
    return TMFSCabBase::OpenLibraryStream(name, openFlags);
  // The compressor opens only files it makes (its spool pieces and the cabinet), each once.
  TScratchFile file;
  file.CreateNameless(FDiskFolder, "cab");
  TFileHandle handle(::dup(file.Handle()));
  if (!handle.IsOpen())
    RaiseLastOSError();
  if (name == FCabinetPath) {
    FCabinetFile = TFileHandle(::dup(file.Handle()));
    if (!FCabinetFile.IsOpen())
      RaiseLastOSError();
  }
  return new TFileStream(std::move(handle), name);
}

void TMFSCabWriter::FlushCabinet() {
  if (FDiskFolder.empty())
    ReserveCabinet();
  CheckResult(
      FCIFlushCabinet(FHandle, 0, TMFSCabCallbacks::FciNextCabinet, TMFSCabCallbacks::FciStatus));
  FProgress.Finish();
}

int32_t TMFSCabWriter::TemporaryName(char* buffer, int32_t size) {
  const std::string name = Session().UniqueFileName(FTempFolder, TempFilePrefix, 0);
  if (int64_t(name.size()) >= size)
    throw EMFSCabWriterError(Format(STempFileNameTooBig, name.c_str()));
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return 1;
}

intptr_t TMFSCabWriter::OpenInfo(const char* name, uint16_t* date, uint16_t* time,
                                 uint16_t* attributes) {
  if (FSource) {
    *date = uint16_t(FSourceDateTime >> 16);
    *time = uint16_t(FSourceDateTime);
    *attributes = uint16_t(FSourceAttributes & PackedAttributeMask);
    FProgress.Start(uint64_t(std::max<int64_t>(FSource->Size(), 0)));
    return HandleOf(FSource.release());
  }
  std::unique_ptr<TMFSFileStream> stream(OpenStream(name, OpenForReading));
  const TMFSFile* file = stream->File();
  *date = uint16_t(file->DateTime() >> 16);
  *time = uint16_t(file->DateTime());
  *attributes = uint16_t(file->Attributes() & PackedAttributeMask);
  FProgress.Start(file->Content().size());
  return HandleOf(stream.release());
}
