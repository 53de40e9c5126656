#pragma once
// Cabinet archives whose files are files of an in-memory file system: the cabinet library's
// callbacks open, read, write, seek and close session files through TMFSFileStream objects, so
// neither packing nor unpacking touches the disk.

#include "cab/CabIntf.h"
#include "common/u_FileHandle.h"
#include "common/u_Progress.h"
#include "common/u_SysUtils.h"

#include <cstdint>
#include <memory>
#include <string>

class TCabPreviousFolder;
class TMFSSession;
class TStream;
class TMFSFileStream;
struct TMFSCabCallbacks;

class EMFSCabError : public Exception {
  using Exception::Exception;
};
class EMFSCabWriterError : public EMFSCabError {
  using EMFSCabError::EMFSCabError;
};
class EMFSCabReaderError : public EMFSCabError {
  using EMFSCabError::EMFSCabError;
};

// A failed call into the cabinet library: the code's text and the code as
// "<text> [0x0004]", then ".\r\n" and the message a callback recorded when one failed.
class EMFSCabSystemError : public EMFSCabError {
public:
  EMFSCabSystemError(const ERF& error, const std::string& lastError, bool compression);
  int32_t ErrorCode() const { return FErrorCode; }
  int32_t ErrorType() const { return FErrorType; }
  bool ErrorPresent() const { return FErrorPresent; }
  bool Compression() const { return FCompression; }
  // Whether reading failed on the cabinet's own bytes (a damaged or foreign cabinet), not on
  // memory, a file or a stop.
  bool DamagedCabinet() const;

private:
  int32_t FErrorCode;
  int32_t FErrorType;
  bool FErrorPresent;
  bool FCompression;
};

inline constexpr const char* SNotACabinet = "File \"%s\" is not a cabinet";
inline constexpr const char* SSpannedCabinetsUnsupported = "Spanned cabinets are unsupported now";
inline constexpr const char* STempFileNameTooBig = "Temporary file name is too big (\"%s\")";

// The session file disposition and flags for the library's C run-time open flags.
uint32_t CabOpenDisposition(int32_t openFlags);
uint32_t CabOpenFileFlags(int32_t openFlags);

// The session binding, the error record and the callbacks both directions share.
class TMFSCabBase : public TObject {
public:
  // cabinetPath is expanded against the session's current folder.
  TMFSCabBase(TMFSSession& session, const std::string& cabinetPath);
  TMFSCabBase(const TMFSCabBase&) = delete;
  TMFSCabBase& operator=(const TMFSCabBase&) = delete;

  TMFSSession& Session() const { return *FSession; }
  const ERF& ErrorInfo() const { return FErrorInfo; }
  const std::string& LastError() const { return FLastError; }
  const std::string& CabinetPath() const { return FCabinetPath; }
  // Percent of the member's bytes inflated (reader) or of the added file compressed (writer).
  void SetOnProgress(TPercentEvent onProgress) { FProgress = TByteProgress(std::move(onProgress)); }

protected:
  friend struct TMFSCabCallbacks;

  // Nothing when result is 1; otherwise raises EMFSCabSystemError from ErrorInfo and LastError.
  void CheckResult(int32_t result);
  virtual bool IsCompressor() const = 0;
  // Fills in the error record before it is raised.
  virtual void CompleteErrorInfo() {}

  // A stream on the session file, at its end for the append flag.
  TMFSFileStream* OpenStream(const std::string& name, int32_t openFlags);
  // The open callback's body.
  virtual TStream* OpenLibraryStream(const std::string& name, int32_t openFlags);
  // Records the exception being handled as LastError.
  void RecordException();

  TMFSSession* FSession;
  ERF FErrorInfo{};
  std::string FLastError;
  std::string FCabinetPath;
  TByteProgress FProgress;
};

// Unpacks named files of a cabinet that is a session file. Each reader has its own library
// context, so readers on different threads run at once; one reader is used by one thread.
class TMFSCabReader : public TMFSCabBase {
public:
  // Opens the library context and checks that the file is a cabinet: "File "%s" is not a
  // cabinet", or the session's "File "%s" not found". With a cabinet stream the cabinet is
  // read from it (in place from bytes in memory, or from a book's file) under the name
  // cabinetPath; the stream must outlive the reader.
  TMFSCabReader(TMFSSession& session, const std::string& cabinetPath, TStream* cabinet = nullptr);
  ~TMFSCabReader() override;

  // Extracts the archived file(s) named nameInCabinet (compared case-insensitively) to
  // targetPath, creating missing folders; a name not in the cabinet extracts nothing.
  void Extract(const std::string& nameInCabinet, const std::string& targetPath);
  // The same into target instead of a session file (every archived file of that name in
  // turn, without date or attributes); false when the cabinet has no file of that name.
  bool ExtractTo(const std::string& nameInCabinet, TStream& target);

  // The most bytes the cabinet's members can inflate to, whatever their entries declare.
  int64_t MaxExtractedSize() const;
  // Refuses, before inflating it, a member to extract whose entry declares more than limit
  // bytes ("File "%s" would unpack to %u MB, more than the %lld MB allowed").
  void SetExtractLimit(int64_t limit) { FExtractLimit = limit; }

  HFDI Handle() const { return FHandle; }
  const std::string& NameToExtract() const { return FNameToExtract; }
  const std::string& TargetPath() const { return FTargetPath; }
  int32_t CallbackError() const { return FCallbackError; }
  int32_t CabinetSize() const { return FCabinetSize; }
  uint32_t FileCount() const { return FFileCount; }

protected:
  bool IsCompressor() const override { return false; }
  void CompleteErrorInfo() override { FErrorInfo.erfType = FCallbackError; }
  TStream* OpenLibraryStream(const std::string& name, int32_t openFlags) override;

private:
  friend struct TMFSCabCallbacks;
  void Release();
  // The library's copy of the cabinet, notifying this reader; its result.
  int32_t CopyCabinet();
  intptr_t CopyFile(const char* nameInCabinet, int32_t declaredSize);
  void ReserveTarget(TMFSFileStream& target, uint32_t declaredSize);
  intptr_t CloseFileInfo(const FDINOTIFICATION& info);

  HFDI FHandle = nullptr;
  TStream* FCabinet = nullptr;
  std::string FNameToExtract;
  std::string FTargetPath;
  int32_t FCallbackError = 0;
  int32_t FCabinetSize = 0;
  uint32_t FFileCount = 0;
  TStream* FTargetStream = nullptr; // the running ExtractTo's target
  bool FTargetFound = false;
  int64_t FExtractLimit = INT64_MAX;
};

// Packs session files into one cabinet that is itself a session file; the compressor's
// temporary files are session files in TempFolder.
class TMFSCabWriter : public TMFSCabBase {
public:
  // tempFolder empty: the session's current folder.
  TMFSCabWriter(TMFSSession& session, const std::string& tempFolder,
                const std::string& cabinetPath);
  ~TMFSCabWriter() override;

  // Adds the session file at path under its name without folders.
  void AddFile(const std::string& path);
  // Adds a file named name whose bytes are read from content as they are packed, so that
  // they need not be a session file first; dateTime and attributes as a file's.
  void AddStream(const std::string& name, std::unique_ptr<TStream> content, uint32_t dateTime,
                 uint32_t attributes);
  // Completes the cabinet: afterwards the file at CabinetPath holds the whole archive.
  void FlushCabinet();
  // The first folder takes over the blocks of previous that decode to exactly its data,
  // instead of deflating those bytes again; previous must stay while this writer lives.
  void UsePreviousFolder(const TCabPreviousFolder* previous);
  // Keeps the cabinet and the compressor's temporary files out of memory: each is a file
  // without a name in diskFolder, so that nothing is left behind, and the cabinet is taken
  // with TakeCabinetFile once flushed instead of being a session file. Set before adding.
  void KeepFilesIn(const std::string& diskFolder) { FDiskFolder = diskFolder; }
  // The flushed cabinet of KeepFilesIn; an empty handle otherwise.
  TFileHandle TakeCabinetFile() { return std::move(FCabinetFile); }

  HFCI Handle() const { return FHandle; }
  const CCAB& CabinetParameters() const { return FParameters; }
  const std::string& TempFolder() const { return FTempFolder; }

protected:
  bool IsCompressor() const override { return true; }
  TStream* OpenLibraryStream(const std::string& name, int32_t openFlags) override;

private:
  friend struct TMFSCabCallbacks;
  int32_t TemporaryName(char* buffer, int32_t size);
  intptr_t OpenInfo(const char* name, uint16_t* date, uint16_t* time, uint16_t* attributes);
  void ReserveCabinet();

  HFCI FHandle = nullptr;
  CCAB FParameters{};
  std::string FTempFolder;
  // The source of the running AddStream until the library opens it.
  std::unique_ptr<TStream> FSource;
  uint32_t FSourceDateTime = 0;
  uint32_t FSourceAttributes = 0;
  // What was added so far, for the room the cabinet will need.
  uint64_t FAddedBytes = 0;
  uint64_t FFilesAdded = 0;
  std::string FDiskFolder; // where KeepFilesIn keeps the files; empty: in the session
  TFileHandle FCabinetFile;
};
