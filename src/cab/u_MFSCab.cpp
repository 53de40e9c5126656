#include "cab/u_MFSCab.h"

#include "cab/u_CabMszip.h"
#include "common/u_AnsiText.h"
#include "common/u_Common.h"
#include "common/u_FileIO.h"
#include "common/u_Streams.h"
#include "mfs/u_MFS.h"

#include <algorithm>
#include <unistd.h>

namespace {

// Attributes a cabinet entry takes from a file (read-only, hidden, system, archive), and the
// ones an extracted file takes from its entry.
constexpr uint32_t PackedAttributeMask = 0x27;
constexpr uint32_t ExtractedAttributeMask = 0x3F;
// Tool-made cabinets are far below this; the format's own limits lie beyond it.
constexpr uint32_t MaxCabinetSize = 0x7FFFFFFF;
constexpr const char* TempFilePrefix = "fci";
// Deflate turns no input into more than 1032 times its size.
constexpr int64_t MaxDeflateExpansion = 1032;

} // namespace

TCabMemberReader::TCabMemberReader(TStream& cabinet, const std::string& cabinetName,
                                   const TCodePage& codePage)
    : FCabinet(cabinet), FCodePage(codePage) {
  try {
    FReader = std::make_unique<TCabReader>(cabinet);
  } catch (const EMFSCabSystemError& e) {
    if (e.ErrorCode() == crcNotACabinet || e.ErrorCode() == crcUnknownVersion)
      throw EMFSCabReaderError(Format(SNotACabinet, cabinetName.c_str()));
    throw;
  }
}

TCabMemberReader::~TCabMemberReader() = default;

bool TCabMemberReader::ExtractTo(const std::string& nameInCabinet, TStream& target) {
  bool found = false;
  ExtractNamed(
      nameInCabinet,
      [&](const TCabMember&) -> TStream& {
        found = true;
        return target;
      },
      [](const TCabMember&) {});
  return found;
}

void TCabMemberReader::ExtractNamed(const std::string& nameInCabinet, TOpenTarget open,
                                    TCloseTarget close) {
  FNameToExtract = nameInCabinet;
  FOpen = std::move(open);
  FClose = std::move(close);
  FReader->Extract(*this);
}

int64_t TCabMemberReader::MaxExtractedSize() const {
  return FCabinet.Size() * MaxDeflateExpansion;
}

bool TCabMemberReader::Begin(const TCabMember& member) {
  if (FCodePage.CompareText(member.name, FNameToExtract) != 0)
    return false;
  if (int64_t(member.size) > FExtractLimit)
    throw EMFSCabReaderError(Format(
        "File \"%s\" would unpack to %u MB, more than the %lld MB allowed", member.name.c_str(),
        member.size >> 20, static_cast<long long>(FExtractLimit >> 20)));
  FTarget = &FOpen(member);
  FProgress.Start(member.size);
  return true;
}

void TCabMemberReader::Write(const uint8_t* data, size_t size) {
  FTarget->WriteBuffer(data, int64_t(size));
  FProgress.Advance(size);
}

void TCabMemberReader::End(const TCabMember& member) {
  FClose(member);
  FTarget = nullptr;
  FProgress.Finish();
}

TMFSCabReader::TMFSCabReader(TMFSSession& session, const std::string& cabinetPath, TStream* cabinet)
    : TCabSessionFile{cabinet ? nullptr
                              : session.CreateFileStream(session.ExpandPath(cabinetPath),
                                                         OPEN_EXISTING, 0)},
      TCabMemberReader(cabinet ? *cabinet : *TCabSessionFile::Stream, cabinetPath,
                       session.FS()->CodePage()),
      FSession(&session), FCabinetPath(session.ExpandPath(cabinetPath)) {}

TMFSCabReader::~TMFSCabReader() = default;

void TMFSCabReader::Extract(const std::string& nameInCabinet, const std::string& targetPath) {
  FTargetPath = Session().ExpandPath(targetPath);
  ExtractNamed(
      nameInCabinet,
      [this](const TCabMember& member) -> TStream& {
        Session().ForceFolders(TMFS::ExtractPath(FTargetPath));
        FTargetFile = Session().CreateFileStream(FTargetPath, CREATE_ALWAYS, 0);
        // Room for the whole file at once spares the content its growing copies. A declared
        // size is believed only as far as the cabinet could expand to it.
        const int64_t room = std::min<int64_t>({member.size, MaxExtractedSize(), MaxMFSLength});
        if (TMFSFile* file = FTargetFile->File();
            file && room > int64_t(file->Content().capacity()))
          file->Content().reserve(size_t(room));
        return *FTargetFile;
      },
      [this](const TCabMember& member) {
        TMFSFile* file = FTargetFile->File();
        if (!file)
          throw EMFSError(Format(SFileNotFound, FTargetPath.c_str()));
        file->SetDateTime(uint32_t(member.date) << 16 | member.time);
        file->SetAttributes(member.attribs & ExtractedAttributeMask);
        FTargetFile.reset();
      });
}

TCabPacker::TCabPacker() : FWriter(*this) {
  FWriter.SetProgress(&FProgress);
}

TCabPacker::~TCabPacker() = default;

void TCabPacker::AddStream(const std::string& name, std::unique_ptr<TStream> content,
                           uint32_t dateTime, uint32_t attributes) {
  Add(name, *content, dateTime, attributes);
}

void TCabPacker::Add(const std::string& name, TStream& content, uint32_t dateTime,
                     uint32_t attributes) {
  const auto size = uint64_t(std::max<int64_t>(content.Size(), 0));
  FAddedBytes += size;
  ++FFilesAdded;
  FProgress.Start(size);
  FWriter.Add(name, content, uint16_t(dateTime >> 16), uint16_t(dateTime),
              uint16_t(attributes & PackedAttributeMask));
}

void TCabPacker::Finish(TStream& cabinet) {
  FWriter.Finish(cabinet);
  FProgress.Finish();
}

std::string TCabPacker::FlushToString() {
  TStringStream cabinet;
  Finish(cabinet);
  return cabinet.TakeDataString();
}

TFileHandle TCabPacker::FlushToFile() {
  TFileHandle file = CabStep(true, cwcCabinetFile, [&] { return NewDiskFile(); });
  TFileHandle written(::dup(file.Get()));
  if (!written.IsOpen())
    CabStep(true, cwcCabinetFile, [] { RaiseLastOSError(); });
  TFileStream cabinet(std::move(written), FDiskFolder);
  Finish(cabinet);
  return file;
}

TFileHandle TCabPacker::NewDiskFile() {
  TScratchFile file;
  file.CreateNameless(FDiskFolder, "cab");
  TFileHandle handle(::dup(file.Handle()));
  if (!handle.IsOpen())
    RaiseLastOSError();
  return handle;
}

std::unique_ptr<TStream> TCabPacker::NewPiece() {
  if (OnDisk())
    return std::make_unique<TFileStream>(NewDiskFile(), FDiskFolder);
  return std::make_unique<TStringStream>();
}

TMFSCabWriter::TMFSCabWriter(TMFSSession& session, const std::string& tempFolder,
                             const std::string& cabinetPath)
    : FSession(&session), FCabinetPath(session.ExpandPath(cabinetPath)),
      FTempFolder(session.ExpandPath(tempFolder)) {}

TMFSCabWriter::~TMFSCabWriter() = default;

void TMFSCabWriter::AddFile(const std::string& path) {
  const std::string full = Session().ExpandPath(path);
  const std::unique_ptr<TMFSFileStream> stream = CabStep(
      true, cwcOpenSource, [&] { return Session().CreateFileStream(full, OPEN_EXISTING, 0); });
  const TMFSFile* file = stream->File();
  Add(TMFS::ExtractName(full), *stream, file->DateTime(), file->Attributes());
}

std::unique_ptr<TStream> TMFSCabWriter::NewPiece() {
  const std::string name = Session().UniqueFileName(FTempFolder, TempFilePrefix, 0);
  if (name.size() > CabFormat::MaxNameLength)
    throw EMFSCabWriterError(Format(STempFileNameTooBig, name.c_str()));
  // Gone from the session when the writer drops it.
  return Session().CreateFileStream(name, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
}

// Room for the whole cabinet before it is written: a session file that grows piece by piece
// is copied over on the way, holding both copies each time. Memory is taken only as it is
// written, so the bound may be generous: every block stored, every file in its own folder.
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
    // no file can be made there: the cabinet's own open reports it with its code
  }
}

void TMFSCabWriter::FlushCabinet() {
  ReserveCabinet();
  const std::unique_ptr<TStream> cabinet = CabStep(true, cwcCabinetFile, [&] {
    return Session().CreateFileStream(FCabinetPath, CREATE_ALWAYS, 0);
  });
  Finish(*cabinet);
}
