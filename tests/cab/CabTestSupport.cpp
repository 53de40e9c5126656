#include "CabTestSupport.h"

#include "cab/CabConsts.h"
#include "cab/u_CabReader.h"
#include "cab/u_CabWriter.h"
#include "common/u_ByteView.h"
#include "common/u_Streams.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <unistd.h>
#include <zlib.h>

namespace {

void Expect(bool condition, const char* what) {
  if (!condition)
    throw std::runtime_error(what);
}

// A stream in memory of one of the kinds a pack uses, failing as its streams are told to and
// keeping their record.
enum class TStreamKind { Source, Spool, Cabinet };
class TMemoryStream : public TStringStream {
public:
  TMemoryStream(TMemoryStreams& streams, TStreamKind kind, std::string data = {})
      : TStringStream(std::move(data)), FStreams(streams), FKind(kind) {
    if (FKind != TStreamKind::Source)
      FStreams.live.insert(this);
  }
  ~TMemoryStream() override { FStreams.live.erase(this); }

  int64_t Read(void* buffer, int64_t count) override {
    const int64_t got = TStringStream::Read(buffer, count);
    if (FKind == TStreamKind::Source)
      Spend(FStreams.readBudget, got);
    return got;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (FKind == TStreamKind::Cabinet && FStreams.failCabinet)
      throw EWriteError("no room for the cabinet");
    if (FKind == TStreamKind::Spool)
      Spend(FStreams.writeBudget, count);
    const int64_t written = TStringStream::Write(buffer, count);
    size_t held = 0;
    for (const TStream* stream : FStreams.live)
      held += static_cast<const TMemoryStream*>(stream)->DataString().size();
    FStreams.peakBytes = std::max(FStreams.peakBytes, held);
    return written;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    FStreams.seeks.emplace_back(offset, origin);
    return TStringStream::Seek(offset, origin);
  }

private:
  static void Spend(int64_t& budget, int64_t count) {
    if (budget < 0)
      return;
    if (budget < count)
      throw EReadError("the budget is spent");
    budget -= count;
  }

  TMemoryStreams& FStreams;
  TStreamKind FKind;
};

class TMemorySpool : public TCabSpool {
public:
  explicit TMemorySpool(TMemoryStreams& streams) : FStreams(streams) {}
  std::unique_ptr<TStream> NewPiece() override {
    if (FStreams.failSpool)
      throw EWriteError("no piece to be had");
    ++FStreams.piecesMade;
    return std::make_unique<TMemoryStream>(FStreams, TStreamKind::Spool);
  }

private:
  TMemoryStreams& FStreams;
};

class TMemorySink : public TCabSink {
public:
  TMemorySink(TMemoryStreams& streams, std::map<std::string, TExtracted>& files)
      : FStreams(streams), FFiles(files) {}
  bool Begin(const TCabMember& member) override {
    if (FStreams.failBegin)
      throw EWriteError("not wanted after all");
    FMember = TExtracted{{}, member.date, member.time, member.attribs};
    return true;
  }
  void Write(const uint8_t* data, size_t size) override {
    if (FStreams.failTarget)
      throw EWriteError("the disk is full");
    FMember.content.append(reinterpret_cast<const char*>(data), size);
  }
  void End(const TCabMember& member) override { FFiles[member.name] = std::move(FMember); }

private:
  TMemoryStreams& FStreams;
  std::map<std::string, TExtracted>& FFiles;
  TExtracted FMember;
};

} // namespace

std::string Pack(const std::vector<TMember>& members, const TPackOptions& options,
                 TMemoryStreams* given) {
  TMemoryStreams own;
  TMemoryStreams& streams = given ? *given : own;
  TMemorySpool spool(streams);
  TMemoryStream cabinet(streams, TStreamKind::Cabinet);
  {
    TCabWriter writer(spool, options.type, options.folderThreshold);
    writer.UsePreviousFolder(options.previous);
    for (const TMember& member : members) {
      TMemoryStream source(streams, TStreamKind::Source, member.content);
      writer.Add(member.name, source, member.info.date, member.info.time, member.info.attribs);
    }
    writer.Finish(cabinet);
  }
  return cabinet.DataString();
}

int32_t UnpackInto(const std::string& cabinet, std::map<std::string, TExtracted>& files,
                   TMemoryStreams* given, std::string* message) {
  TMemoryStreams own;
  TMemoryStreams& streams = given ? *given : own;
  TMemoryStream input(streams, TStreamKind::Source, cabinet);
  try {
    TCabReader reader(input);
    TMemorySink sink(streams, files);
    reader.Extract(sink);
  } catch (const EMFSCabSystemError& e) {
    if (message)
      *message = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

std::map<std::string, TExtracted> Unpack(const std::string& cabinet) {
  std::map<std::string, TExtracted> files;
  std::string message;
  if (UnpackInto(cabinet, files, nullptr, &message) != 0)
    throw std::runtime_error("unpacking failed: " + message);
  return files;
}

int32_t UnpackError(const std::string& cabinet) {
  std::map<std::string, TExtracted> files;
  return UnpackInto(cabinet, files);
}

void TCabBuilder::AddFileFolder(const std::string& name, const std::string& content,
                                bool useHistory) {
  TBuiltFolder folder;
  for (size_t at = 0; at < content.size(); at += CabFormat::MaxBlockUncompressed)
    folder.blocks.push_back(
        {content.substr(at, CabFormat::MaxBlockUncompressed), useHistory, false, {}});
  files.push_back({name, uint32_t(content.size()), 0, uint16_t(folders.size())});
  folders.push_back(folder);
}

namespace {

std::string EncodeMszip(const TBuiltBlock& block, const std::string& history) {
  if (!block.encoded.empty())
    return block.encoded;
  std::string out = "CK";
  if (block.stored) {
    out += '\x01';
    TByteWriter lengths(out);
    lengths.U16(uint16_t(block.data.size()));
    lengths.U16(uint16_t(~block.data.size()));
    return out + block.data;
  }
  z_stream z{};
  Expect(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2");
  if (block.useHistory && !history.empty()) {
    const size_t keep = std::min<size_t>(history.size(), 32768);
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(history.data() + history.size() - keep),
                         uInt(keep));
  }
  std::string deflated(block.data.size() + 1024, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(block.data.data()));
  z.avail_in = uInt(block.data.size());
  z.next_out = reinterpret_cast<Bytef*>(deflated.data());
  z.avail_out = uInt(deflated.size());
  Expect(deflate(&z, Z_FINISH) == Z_STREAM_END, "deflate");
  deflated.resize(z.total_out);
  deflateEnd(&z);
  return out + deflated;
}

} // namespace

std::string TCabBuilder::Build() const {
  using namespace CabFormat;
  const bool reserve = forceReserveFlag || headerReserve || folderReserve || dataReserve;
  uint16_t flags = reserve ? FlagReservePresent : 0;
  if (!prevCabinet.empty())
    flags |= FlagPrevCabinet;
  if (!nextCabinet.empty())
    flags |= FlagNextCabinet;

  std::string names;
  if (reserve) {
    WriteRecord(TReserveSizes{headerReserve, folderReserve, dataReserve}, names);
    names.append(headerReserve, 'r');
  }
  if (flags & FlagPrevCabinet)
    names += prevCabinet + '\0' + prevDisk + '\0';
  if (flags & FlagNextCabinet)
    names += nextCabinet + '\0' + nextDisk + '\0';

  std::string fileTable;
  for (const auto& file : files)
    WriteRecord(TFileFields{file.size, file.offset, file.folder, file.date, file.time, file.attribs,
                            file.name},
                fileTable);

  // Data of all folders, with the offset of each folder's first block.
  std::vector<std::string> folderData;
  for (const auto& folder : folders) {
    std::string data;
    std::string history;
    for (const auto& block : folder.blocks) {
      const std::string encoded =
          folder.type == TCabCompression::Mszip ? EncodeMszip(block, history) : block.data;
      history += block.data;
      std::string record;
      WriteRecord(TDataFields{0, uint16_t(encoded.size()), uint16_t(block.data.size())}, record);
      record.append(dataReserve, 'd');
      TByteWriter(reinterpret_cast<uint8_t*>(record.data()), 4)
          .U32(DataBlockChecksum(record.data() + 4, 4 + dataReserve, encoded.data(),
                                 encoded.size()));
      data += record + encoded;
    }
    folderData.push_back(data);
  }

  const uint32_t folderTableOffset = uint32_t(HeaderSize + names.size());
  const uint32_t filesOffset =
      folderTableOffset + uint32_t(folders.size() * (FolderSize + folderReserve));
  uint32_t dataOffset = filesOffset + uint32_t(fileTable.size());
  std::string folderTable;
  for (size_t i = 0; i < folders.size(); ++i) {
    WriteRecord(
        TFolderFields{dataOffset, uint16_t(folders[i].blocks.size()), uint16_t(folders[i].type)},
        folderTable);
    folderTable.append(folderReserve, 'f');
    dataOffset += uint32_t(folderData[i].size());
  }

  std::string cabinet;
  WriteRecord(THeaderFields{Signature, dataOffset, filesOffset, VersionMinor, VersionMajor,
                            uint16_t(folders.size()), uint16_t(files.size()), flags, 0x1234, 0},
              cabinet);
  cabinet += names + folderTable + fileTable;
  for (const auto& data : folderData)
    cabinet += data;
  return cabinet;
}

TCabLayout ReadLayout(const std::string& cabinet) {
  using namespace CabFormat;
  const TByteView bytes = ByteViewOf(cabinet);
  TByteCursor header(bytes);
  header.Skip(16, "signature to reserved2");
  TCabLayout layout{};
  layout.filesOffset = header.U32("coffFiles");
  header.Skip(6, "reserved3 and version");
  layout.folders = header.U16("cFolders");
  layout.files = header.U16("cFiles");
  const uint16_t flags = header.U16("flags");
  header.Skip(4, "setID and iCabinet");
  uint8_t folderReserve = 0, dataReserve = 0;
  if (flags & FlagReservePresent) {
    const uint16_t headerReserve = header.U16("cbCFHeader");
    folderReserve = header.U8("cbCFFolder");
    dataReserve = header.U8("cbCFData");
    header.Skip(headerReserve, "abReserve");
  }
  for (const uint16_t named : {FlagPrevCabinet, FlagNextCabinet})
    if (flags & named) {
      header.ZString(MaxNameLength, "cabinet name");
      header.ZString(MaxNameLength, "disk name");
    }
  for (uint16_t i = 0; i < layout.folders; ++i) {
    const auto at = uint32_t(header.Position());
    layout.folderOffsets.push_back(at);
    uint32_t data = header.U32("coffCabStart");
    const uint16_t blocks = header.U16("cCFData");
    header.Skip(2 + folderReserve, "typeCompress and abReserve");
    for (uint16_t b = 0; b < blocks; ++b) {
      TByteCursor block(bytes.Part(data, bytes.Size() - data, "CFDATA"));
      block.Skip(4, "csum");
      const uint16_t compressed = block.U16("cbData");
      layout.dataOffsets.push_back(data);
      layout.dataCompressed.push_back(compressed);
      layout.dataUncompressed.push_back(block.U16("cbUncomp"));
      data += uint32_t(DataSize + dataReserve + compressed);
    }
  }
  return layout;
}

std::string TextData(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 3000; ++i) {
    std::string word(2 + random() % 9, ' ');
    for (auto& c : word)
      c = char('a' + random() % 26);
    words.push_back(word);
  }
  std::string text;
  text.reserve(size + 16);
  while (text.size() < size) {
    text += words[random() % words.size()];
    text += random() % 12 == 0 ? "\r\n" : " ";
  }
  text.resize(size);
  return text;
}

std::string RandomData(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes)
    c = char(random());
  return bytes;
}

std::string MixedData(size_t size, uint32_t seed) {
  std::string data;
  data.reserve(size);
  uint32_t part = 0;
  while (data.size() < size) {
    const size_t piece = std::min<size_t>(size - data.size(), 100'000 + (seed + part) % 70'000);
    switch (part++ % 3) {
    case 0:
      data += TextData(piece, seed + part);
      break;
    case 1:
      data += RandomData(piece, seed + part);
      break;
    default:
      data.append(piece, '\0');
      break;
    }
  }
  return data;
}

bool HaveTool(const std::string& name) {
  return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0;
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe)
    return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    if (output)
      output->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TTempFolder::TTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "folioset-cab-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  FPath = pattern;
}

TTempFolder::~TTempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}
