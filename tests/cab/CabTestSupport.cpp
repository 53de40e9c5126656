#include "CabTestSupport.h"

#include "cab/u_CabCompressor.h"
#include "cab/u_CabFormat.h"
#include "common/u_ByteView.h"

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

TMemoryDisk* Disk = nullptr;

struct THandle {
  std::string name;
  int64_t position = 0;
};

THandle* HandleOf(intptr_t hf) {
  return reinterpret_cast<THandle*>(hf);
}

intptr_t OpenFile(const char* name, int32_t flags) {
  auto& files = Disk->files;
  const bool exists = files.count(name) > 0;
  if (name == Disk->failOpenOf)
    return -1;
  if ((flags & cofCreat) && (flags & cofExcl) && exists)
    return -1;
  if (!(flags & cofCreat) && !exists)
    return -1;
  if (!exists || (flags & cofTrunc))
    files[name].clear();
  ++Disk->openHandles;
  return reinterpret_cast<intptr_t>(new THandle{name, 0});
}

uint32_t ReadFile(intptr_t hf, void* buffer, uint32_t count) {
  THandle* handle = HandleOf(hf);
  const std::string& content = Disk->files.at(handle->name);
  int64_t n = std::min<int64_t>(count, int64_t(content.size()) - handle->position);
  n = std::max<int64_t>(n, 0);
  if (Disk->readBudget >= 0) {
    if (Disk->readBudget < n)
      return UINT32_MAX;
    Disk->readBudget -= n;
  }
  std::memcpy(buffer, content.data() + handle->position, size_t(n));
  handle->position += n;
  return uint32_t(n);
}

uint32_t WriteFile(intptr_t hf, const void* buffer, uint32_t count) {
  if (Disk->writeBudget >= 0) {
    if (Disk->writeBudget < count)
      return UINT32_MAX;
    Disk->writeBudget -= count;
  }
  THandle* handle = HandleOf(hf);
  std::string& content = Disk->files.at(handle->name);
  if (content.size() < size_t(handle->position) + count)
    content.resize(size_t(handle->position) + count);
  std::memcpy(content.data() + handle->position, buffer, count);
  handle->position += count;
  return count;
}

int32_t CloseFile(intptr_t hf) {
  delete HandleOf(hf);
  --Disk->openHandles;
  return 0;
}

// The end origin counts back from the end, as the session file streams do.
int32_t SeekFile(intptr_t hf, int32_t distance, int32_t origin) {
  Disk->seeks.emplace_back(distance, origin);
  THandle* handle = HandleOf(hf);
  const auto size = int64_t(Disk->files.at(handle->name).size());
  int64_t target = handle->position;
  if (origin == 0)
    target = distance;
  else if (origin == 1)
    target += distance;
  else if (origin == 2)
    target = size - distance;
  handle->position = std::clamp<int64_t>(target, 0, size);
  return int32_t(handle->position);
}

// FCI callbacks.
void* Alloc(uint32_t size) {
  return std::calloc(1, size);
}
void Free(void* memory) {
  std::free(memory);
}
intptr_t FciOpen(char* name, int32_t flags, int32_t, int32_t* err, void*) {
  const intptr_t handle = OpenFile(name, flags);
  if (handle == -1)
    *err = -1;
  return handle;
}
uint32_t FciRead(intptr_t hf, void* memory, uint32_t cb, int32_t* err, void*) {
  const uint32_t n = ReadFile(hf, memory, cb);
  if (n == UINT32_MAX)
    *err = -1;
  return n;
}
uint32_t FciWrite(intptr_t hf, void* memory, uint32_t cb, int32_t* err, void*) {
  const uint32_t n = WriteFile(hf, memory, cb);
  if (n == UINT32_MAX)
    *err = -1;
  size_t held = 0;
  for (const auto& [name, content] : Disk->files)
    held += content.size();
  Disk->peakBytes = std::max(Disk->peakBytes, held);
  return n;
}
int32_t FciClose(intptr_t hf, int32_t*, void*) {
  return CloseFile(hf);
}
int32_t FciSeek(intptr_t hf, int32_t dist, int32_t origin, int32_t*, void*) {
  return SeekFile(hf, dist, origin);
}
int32_t FciDelete(char* name, int32_t* err, void*) {
  if (Disk->files.erase(name) == 0) {
    *err = -1;
    return -1;
  }
  return 0;
}
int32_t FciTempName(char* buffer, int32_t size, void*) {
  if (Disk->failTempName)
    return 0;
  std::snprintf(buffer, size_t(size), "\\temp%d", Disk->tempNames++);
  return 1;
}
int32_t FciFilePlaced(CCAB*, char*, int32_t, int32_t, void*) {
  return 0;
}
int32_t FciNextCabinet(CCAB*, uint32_t, void*) {
  return 0;
}
int32_t FciStatus(uint32_t kind, uint32_t, uint32_t, void*) {
  return int32_t(kind) == Disk->abortStatusKind ? -1 : 1;
}
intptr_t FciOpenInfo(char* name, uint16_t* date, uint16_t* time, uint16_t* attribs, int32_t* err,
                     void*) {
  const intptr_t handle = OpenFile(name, cofBinary | cofRdOnly);
  if (handle == -1) {
    *err = -1;
    return -1;
  }
  const TMemoryFileInfo info = Disk->info[name];
  *date = info.date;
  *time = info.time;
  *attribs = info.attribs;
  return handle;
}

// FDI callbacks.
intptr_t FdiOpen(char* name, int32_t flags, int32_t, void*) {
  return OpenFile(name, flags);
}
uint32_t FdiRead(intptr_t hf, void* memory, uint32_t cb, void*) {
  return ReadFile(hf, memory, cb);
}
uint32_t FdiWrite(intptr_t hf, void* memory, uint32_t cb, void*) {
  return WriteFile(hf, memory, cb);
}
int32_t FdiClose(intptr_t hf, void*) {
  return CloseFile(hf);
}
int32_t FdiSeek(intptr_t hf, int32_t distance, int32_t origin, void*) {
  return SeekFile(hf, distance, origin);
}

std::map<std::string, TExtracted>* Extracted = nullptr;

intptr_t Notify(FDINOTIFICATIONTYPE kind, FDINOTIFICATION* n) {
  Disk->notifications.push_back(kind);
  switch (kind) {
  case fdintCABINET_INFO:
    return Disk->abortOnCabinetInfo ? -1 : 0;
  case fdintPARTIAL_FILE:
    return 0;
  case fdintNEXT_CABINET:
    return Disk->acceptNextCabinet ? 0 : -1;
  case fdintCOPY_FILE:
    return OpenFile((std::string("\\out\\") + n->psz1).c_str(), cofBinary | cofCreat | cofTrunc);
  case fdintCLOSE_FILE_INFO: {
    const std::string name = HandleOf(n->hf)->name;
    TExtracted& file = (*Extracted)[n->psz1];
    file.content = Disk->files[name];
    file.date = n->date;
    file.time = n->time;
    file.attribs = n->attribs;
    file.execute = n->cb != 0;
    CloseFile(n->hf);
    return 1;
  }
  default:
    return 0;
  }
}

void Expect(bool condition, const char* what) {
  if (!condition)
    throw std::runtime_error(what);
}

} // namespace

TUseDisk::TUseDisk(TMemoryDisk& disk) {
  Disk = &disk;
}
TUseDisk::~TUseDisk() {
  Disk = nullptr;
}

bool PackCabinet(TMemoryDisk& disk, const std::vector<TMember>& members, const std::string& cabinet,
                 ERF& error, TCOMP type, uint32_t folderThreshold,
                 const TCabPreviousFolder* previous) {
  TUseDisk use(disk);
  for (const auto& member : members) {
    disk.files["\\in\\" + member.name] = member.content;
    disk.info["\\in\\" + member.name] = member.info;
  }
  CCAB params{};
  params.cb = 0x7FFFFFFF;
  params.cbFolderThresh = folderThreshold;
  std::snprintf(params.szCab, sizeof params.szCab, "%s", cabinet.c_str());
  error = ERF{};
  HFCI context = FCICreate(&error, FciFilePlaced, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose,
                           FciSeek, FciDelete, FciTempName, &params, nullptr);
  if (!context)
    return false;
  CabCompressor::UsePreviousFolder(context, previous);
  bool ok = true;
  for (const auto& member : members) {
    std::string source = "\\in\\" + member.name;
    std::string name = member.name;
    ok = FCIAddFile(context, source.data(), name.data(), 0, FciNextCabinet, FciStatus, FciOpenInfo,
                    type);
    if (!ok)
      break;
  }
  if (ok)
    ok = FCIFlushCabinet(context, 0, FciNextCabinet, FciStatus);
  FCIDestroy(context);
  return ok;
}

bool UnpackCabinet(TMemoryDisk& disk, const std::string& cabinet,
                   std::map<std::string, TExtracted>& files, ERF& error) {
  TUseDisk use(disk);
  Extracted = &files;
  error = ERF{};
  HFDI context = FDICreate(Alloc, Free, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN,
                           &error, nullptr);
  if (!context)
    return false;
  std::string name = cabinet, path;
  const bool ok = FDICopy(context, name.data(), path.data(), 0, Notify, nullptr, nullptr);
  FDIDestroy(context);
  Extracted = nullptr;
  return ok;
}

std::string Pack(const std::vector<TMember>& members, TCOMP type) {
  TMemoryDisk disk;
  ERF error{};
  if (!PackCabinet(disk, members, "\\test.cab", error, type))
    throw std::runtime_error("packing failed with code " + std::to_string(error.erfOper));
  return disk.files["\\test.cab"];
}

std::map<std::string, TExtracted> Unpack(const std::string& cabinet) {
  TMemoryDisk disk;
  disk.files["\\test.cab"] = cabinet;
  std::map<std::string, TExtracted> files;
  ERF error{};
  if (!UnpackCabinet(disk, "\\test.cab", files, error))
    throw std::runtime_error("unpacking failed with code " + std::to_string(error.erfOper));
  return files;
}

int32_t UnpackError(const std::string& cabinet) {
  TMemoryDisk disk;
  disk.files["\\test.cab"] = cabinet;
  std::map<std::string, TExtracted> files;
  ERF error{};
  return UnpackCabinet(disk, "\\test.cab", files, error) ? 0 : error.erfOper;
}

bool IsCabinet(const std::string& bytes, FDICABINETINFO& info) {
  TMemoryDisk disk;
  disk.files["\\c.cab"] = bytes;
  TUseDisk use(disk);
  ERF error{};
  HFDI context = FDICreate(Alloc, Free, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN,
                           &error, nullptr);
  const intptr_t file = OpenFile("\\c.cab", cofBinary | cofRdOnly);
  const bool result = FDIIsCabinet(context, file, &info);
  CloseFile(file);
  FDIDestroy(context);
  return result;
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
    CabFormat::PutU16(out, uint16_t(block.data.size()));
    CabFormat::PutU16(out, uint16_t(~block.data.size()));
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

  std::string header;
  std::string names;
  if (reserve) {
    PutU16(names, headerReserve);
    PutU8(names, folderReserve);
    PutU8(names, dataReserve);
    names.append(headerReserve, 'r');
  }
  if (flags & FlagPrevCabinet)
    names += prevCabinet + '\0' + prevDisk + '\0';
  if (flags & FlagNextCabinet)
    names += nextCabinet + '\0' + nextDisk + '\0';

  std::string fileTable;
  for (const auto& file : files) {
    PutU32(fileTable, file.size);
    PutU32(fileTable, file.offset);
    PutU16(fileTable, file.folder);
    PutU16(fileTable, file.date);
    PutU16(fileTable, file.time);
    PutU16(fileTable, file.attribs);
    fileTable += file.name + '\0';
  }

  // Data of all folders, with the offset of each folder's first block.
  std::vector<std::string> folderData;
  for (const auto& folder : folders) {
    std::string data;
    std::string history;
    for (const auto& block : folder.blocks) {
      const std::string encoded =
          folder.type == tcompTYPE_MSZIP ? EncodeMszip(block, history) : block.data;
      history += block.data;
      std::string record;
      PutU32(record, 0);
      PutU16(record, uint16_t(encoded.size()));
      PutU16(record, uint16_t(block.data.size()));
      record.append(dataReserve, 'd');
      const uint32_t sum =
          DataBlockChecksum(record.data() + 4, 4 + dataReserve, encoded.data(), encoded.size());
      PutU32At(reinterpret_cast<uint8_t*>(record.data()), sum);
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
    PutU32(folderTable, dataOffset);
    PutU16(folderTable, uint16_t(folders[i].blocks.size()));
    PutU16(folderTable, folders[i].type);
    folderTable.append(folderReserve, 'f');
    dataOffset += uint32_t(folderData[i].size());
  }

  PutU32(header, Signature);
  PutU32(header, 0);
  PutU32(header, dataOffset);
  PutU32(header, 0);
  PutU32(header, filesOffset);
  PutU32(header, 0);
  PutU8(header, VersionMinor);
  PutU8(header, VersionMajor);
  PutU16(header, uint16_t(folders.size()));
  PutU16(header, uint16_t(files.size()));
  PutU16(header, flags);
  PutU16(header, 0x1234);
  PutU16(header, 0);
  std::string cabinet = header + names + folderTable + fileTable;
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
