#pragma once
// Cabinet archives whose files are files of an in-memory file system: the cabinet engine reads
// and writes session files through TMFSFileStream objects, so neither packing nor unpacking
// touches the disk unless asked to.

#include "cab/CabConsts.h"
#include "cab/u_CabReader.h"
#include "cab/u_CabWriter.h"
#include "common/u_AnsiText.h"
#include "common/u_FileHandle.h"
#include "common/u_Progress.h"
#include "common/u_SysUtils.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TCabPreviousFolder;
class TMFSFileStream;
class TMFSSession;
class TStream;

inline constexpr const char* SNotACabinet = "File \"%s\" is not a cabinet";
inline constexpr const char* STempFileNameTooBig = "Temporary file name is too big (\"%s\")";

// Extracts named members of a cabinet read from a stream of the caller's (in place from bytes
// in memory, or from a book's file). Readers share nothing, so readers on different threads
// run at once; one reader is used by one thread.
class TCabMemberReader : private TCabSink {
public:
  // Reads the cabinet's tables: "File "%s" is not a cabinet" naming cabinetName. cabinet must
  // outlive the reader. Member names compare in codePage, the book's.
  TCabMemberReader(TStream& cabinet, const std::string& cabinetName, const TCodePage& codePage);
  ~TCabMemberReader() override;

  // Extracts the archived file(s) named nameInCabinet (compared case-insensitively) into
  // target, one after another, without date or attributes; false when the cabinet has no file
  // of that name.
  bool ExtractTo(const std::string& nameInCabinet, TStream& target);
  // The most bytes the cabinet's members can inflate to, whatever their entries declare.
  int64_t MaxExtractedSize() const;
  // Refuses, before inflating it, a member to extract whose entry declares more than limit
  // bytes ("File "%s" would unpack to %u MB, more than the %lld MB allowed").
  void SetExtractLimit(int64_t limit) { FExtractLimit = limit; }
  // Percent of the member's bytes inflated.
  void SetOnProgress(TPercentEvent onProgress) { FProgress = TByteProgress(std::move(onProgress)); }

  const std::string& NameToExtract() const { return FNameToExtract; }
  int32_t CabinetSize() const { return int32_t(FReader->Header().cabinetSize); }
  uint32_t FileCount() const { return FReader->Header().files; }

protected:
  using TOpenTarget = std::function<TStream&(const TCabMember& member)>;
  using TCloseTarget = std::function<void(const TCabMember& member)>;
  // Extracts each member named nameInCabinet into the stream open gives for it, then close.
  void ExtractNamed(const std::string& nameInCabinet, TOpenTarget open, TCloseTarget close);

private:
  bool Begin(const TCabMember& member) override;
  void Write(const uint8_t* data, size_t size) override;
  void End(const TCabMember& member) override;

  TStream& FCabinet;
  TCodePage FCodePage;
  std::unique_ptr<TCabReader> FReader;
  std::string FNameToExtract;
  TOpenTarget FOpen;
  TCloseTarget FClose;
  TStream* FTarget = nullptr; // of the member being extracted
  int64_t FExtractLimit = INT64_MAX;
  TByteProgress FProgress;
};

// The stream of a reader's cabinet when it is a session file: made before the reader itself.
struct TCabSessionFile {
  std::unique_ptr<TStream> Stream;
};

// Unpacks named files of a cabinet that is a session file, or a stream of the caller's, into
// session files.
class TMFSCabReader : private TCabSessionFile, public TCabMemberReader {
public:
  // Reads the cabinet's tables: "File "%s" is not a cabinet", or the session's "File "%s" not
  // found". With a cabinet stream the cabinet is read from it under the name cabinetPath; the
  // stream must outlive the reader.
  TMFSCabReader(TMFSSession& session, const std::string& cabinetPath, TStream* cabinet = nullptr);
  ~TMFSCabReader() override;

  // Extracts the archived file(s) named nameInCabinet (compared case-insensitively) to
  // targetPath, creating missing folders; a name not in the cabinet extracts nothing.
  void Extract(const std::string& nameInCabinet, const std::string& targetPath);

  TMFSSession& Session() const { return *FSession; }
  const std::string& CabinetPath() const { return FCabinetPath; }
  const std::string& TargetPath() const { return FTargetPath; }

private:
  TMFSSession* FSession;
  std::string FCabinetPath;
  std::string FTargetPath;
  std::unique_ptr<TMFSFileStream> FTargetFile; // while written
};

// Packs members into one cabinet, which is a byte string or, with KeepFilesIn, a file without
// a name on disk; the writer's spool is kept likewise.
class TCabPacker : private TCabSpool {
public:
  TCabPacker();
  ~TCabPacker() override;

  // Adds a file named name whose bytes are read from content as they are packed; dateTime and
  // attributes as a file's.
  void AddStream(const std::string& name, std::unique_ptr<TStream> content, uint32_t dateTime,
                 uint32_t attributes);
  // Completes the cabinet: the whole archive.
  std::string FlushToString();
  // The first folder takes over the blocks of previous that decode to exactly its data,
  // instead of deflating those bytes again; previous must stay while this writer lives.
  void UsePreviousFolder(const TCabPreviousFolder* previous) {
    FWriter.UsePreviousFolder(previous);
  }
  // Keeps the cabinet and the spool out of memory: each is a file without a name in
  // diskFolder, so that nothing is left behind. Set before adding.
  void KeepFilesIn(const std::string& diskFolder) { FDiskFolder = diskFolder; }
  // Completes the cabinet of KeepFilesIn: its file.
  TFileHandle FlushToFile();
  // Percent of the added file compressed.
  void SetOnProgress(TPercentEvent onProgress) { FProgress = TByteProgress(std::move(onProgress)); }

protected:
  void Add(const std::string& name, TStream& content, uint32_t dateTime, uint32_t attributes);
  // Writes the whole cabinet to cabinet.
  void Finish(TStream& cabinet);
  bool OnDisk() const { return !FDiskFolder.empty(); }
  std::unique_ptr<TStream> NewPiece() override;
  // What was added so far, for the room the cabinet will need.
  uint64_t FAddedBytes = 0;
  uint64_t FFilesAdded = 0;

private:
  // A new file without a name in the disk folder.
  TFileHandle NewDiskFile();

  TByteProgress FProgress;
  TCabWriter FWriter;
  std::string FDiskFolder; // where KeepFilesIn keeps the files; empty: in memory
};

// Packs session files into one cabinet that is itself a session file; the writer's spool
// pieces are session files in TempFolder.
class TMFSCabWriter : private TCabPacker {
public:
  using TCabPacker::AddStream;
  using TCabPacker::SetOnProgress;
  using TCabPacker::UsePreviousFolder;

  // tempFolder empty: the session's current folder.
  TMFSCabWriter(TMFSSession& session, const std::string& tempFolder,
                const std::string& cabinetPath);
  ~TMFSCabWriter() override;

  // Adds the session file at path under its name without folders.
  void AddFile(const std::string& path);
  // Completes the cabinet: afterwards the file at CabinetPath holds the whole archive.
  void FlushCabinet();

  TMFSSession& Session() const { return *FSession; }
  const std::string& CabinetPath() const { return FCabinetPath; }
  const std::string& TempFolder() const { return FTempFolder; }

private:
  std::unique_ptr<TStream> NewPiece() override;
  void ReserveCabinet();

  TMFSSession* FSession;
  std::string FCabinetPath;
  std::string FTempFolder;
};
