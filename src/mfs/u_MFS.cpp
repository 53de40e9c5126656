#include "mfs/u_MFS.h"

#include "mfs/u_MFSSerialStream.h"

#include "common/u_BigBuffer.h"
#include "common/u_ByteView.h"
#include "common/u_Clock.h"
#include "common/u_Common.h"
#include "common/u_DiskFolder.h"
#include "common/u_Files.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <utility>
#include <vector>

namespace {

constexpr char PathDelimiter = '\\';
constexpr std::string_view MFSMagic = "MFS";
constexpr char FileTag = 'F';
constexpr char FolderTag = 'D';
// The DOS date counts years from 1980 in 7 bits.
constexpr int DosEpochYear = 1980;
constexpr int DosMaxYearOffset = 127;

} // namespace

uint32_t NowAsDosDateTime() {
  const std::tm local = StampTime();
  const int years = std::clamp(local.tm_year + 1900 - DosEpochYear, 0, DosMaxYearOffset);
  const uint32_t date =
      uint32_t(years) << 9 | uint32_t(local.tm_mon + 1) << 5 | uint32_t(local.tm_mday);
  const uint32_t time =
      uint32_t(local.tm_hour) << 11 | uint32_t(local.tm_min) << 5 | uint32_t(local.tm_sec / 2);
  return date << 16 | time;
}

std::string DosDateTimeText(uint32_t dateTime) {
  const uint32_t date = dateTime >> 16;
  const uint32_t time = dateTime & 0xFFFF;
  return Format("%04u-%02u-%02u %02u:%02u:%02u", DosEpochYear + (date >> 9), date >> 5 & 15,
                date & 31, time >> 11, time >> 5 & 63, (time & 31) * 2);
}

std::optional<std::time_t> DosDateTimeToTime(uint32_t dateTime) {
  const uint32_t date = dateTime >> 16;
  const uint32_t time = dateTime & 0xFFFF;
  std::tm local{};
  local.tm_year = int(DosEpochYear + (date >> 9)) - 1900;
  local.tm_mon = int(date >> 5 & 15) - 1;
  local.tm_mday = int(date & 31);
  local.tm_hour = int(time >> 11);
  local.tm_min = int(time >> 5 & 63);
  local.tm_sec = int(time & 31) * 2;
  local.tm_isdst = -1; // as the zone's rules say for that day
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday == 0 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 59)
    return std::nullopt;
  const std::time_t moment = std::mktime(&local);
  return moment == std::time_t(-1) ? std::nullopt : std::optional(moment);
}

namespace {

std::string Hex8(uint32_t value) {
  return Format("%08X", value);
}

// Every field of the format goes through these: little-endian, lengths checked against the
// format's signed 32-bit limit on writing and against the bytes present on reading.
void WriteUInt32(TStream& stream, uint32_t value) {
  uint8_t bytes[4];
  TByteWriter(bytes, sizeof bytes).U32(value);
  stream.WriteBuffer(bytes, 4);
}

void WriteCounted(TStream& stream, const std::string& bytes) {
  if (int64_t(bytes.size()) > MaxMFSLength)
    throw EWriteError(SWriteError);
  WriteUInt32(stream, uint32_t(bytes.size()));
  stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
}

void WriteTag(TStream& stream, char tag) {
  stream.WriteBuffer(&tag, 1);
}

uint32_t ReadUInt32(TStream& stream, const char* field) {
  uint8_t bytes[4];
  stream.ReadBuffer(bytes, 4);
  return TByteView(bytes, sizeof bytes).U32(0, field);
}

// A name length, content length or child count; negative ones have no meaning.
int32_t ReadCount(TStream& stream) {
  const int32_t count = int32_t(ReadUInt32(stream, "count"));
  if (count < 0)
    throw EMFSError(SIncorrectSerializedFormat);
  return count;
}

// Counted strings are read in pieces of this size: the string grows as its bytes arrive.
constexpr size_t ReadPieceSize = 1 << 18;

// A counted byte string. The claimed length is checked against what the stream can still hold
// before anything is allocated, and only the bytes that came are ever touched, so a few
// hostile bytes cannot ask for gigabytes.
std::string ReadCounted(TStream& stream) {
  const int32_t length = ReadCount(stream);
  if (length > stream.Size() - stream.Position())
    throw EReadError(SReadError);
  std::string bytes;
  bytes.reserve(size_t(length));
  while (bytes.size() < size_t(length)) {
    const size_t start = bytes.size();
    const size_t piece = std::min(size_t(length) - start, ReadPieceSize);
    PreparePages(bytes.data() + start, piece);
    GrowUnwritten(bytes, start + piece); // the read writes it: zeroing it first costs a pass
    stream.ReadBuffer(bytes.data() + start, int64_t(piece));
  }
  return bytes;
}

// A record's fields walked on a stream: written by TFieldWriter, read by TFieldReader.
struct TFieldWriter {
  TStream& Stream;
  void Field(uint32_t value, const char*) { WriteUInt32(Stream, value); }
  void Counted(const std::string& bytes, const char*) { WriteCounted(Stream, bytes); }
};
struct TFieldReader {
  TStream& Stream;
  void Field(uint32_t& value, const char* name) { value = ReadUInt32(Stream, name); }
  void Counted(std::string& bytes, const char*) { bytes = ReadCounted(Stream); }
};

// The record every file and folder begins with, described once for writing (the item's own
// fields) and reading.
template <typename Walk, typename Text, typename Word>
void ItemFields(Walk& f, Text& name, Word& dateTime, Word& attributes) {
  f.Counted(name, "name");
  f.Field(dateTime, "date and time");
  f.Field(attributes, "attributes");
}

// Reads past a counted byte string, in pieces of scratch: its length.
int32_t SkipCounted(TStream& stream, std::vector<char>& scratch) {
  const int32_t length = ReadCount(stream);
  if (length > stream.Size() - stream.Position())
    throw EReadError(SReadError);
  scratch.resize(std::min(size_t(length), ReadPieceSize));
  for (int64_t left = length; left > 0;) {
    const int64_t piece = std::min<int64_t>(left, int64_t(scratch.size()));
    stream.ReadBuffer(scratch.data(), piece);
    left -= piece;
  }
  return length;
}

// Passes reads through and sums the bytes that passed (the serialized body's checksum).
class TSummingReader : public TReadOnlyStream {
public:
  explicit TSummingReader(TStream& source) : FSource(source) {}

  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = FSource.Read(buffer, count);
    FSum.Add(std::string_view(static_cast<const char*>(buffer), size_t(std::max<int64_t>(n, 0))));
    return n;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return FSource.Seek(offset, origin); }
  int64_t Size() override { return FSource.Size(); }

  // Reads what is left, for the sum.
  void ReadToEnd() {
    std::vector<char> piece(ReadPieceSize);
    while (Read(piece.data(), int64_t(piece.size())) > 0) {
    }
  }
  uint32_t Sum() const { return FSum.Value(); }

private:
  TStream& FSource;
  TTextChecksum FSum;
};

char ReadTag(TStream& stream) {
  char tag;
  stream.ReadBuffer(&tag, 1);
  return tag;
}

// The name an item gets on disk: its UTF-8 form, as every other tool here expects (every byte
// of the code page has one). A name that would leave the target folder, or could not be
// created there, is refused.
std::string DiskName(const std::string& name, const TCodePage& codePage) {
  const std::string utf8 = codePage.AnsiToUtf8(name);
  if (utf8.empty() || utf8 == "." || utf8 == ".." ||
      utf8.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
    throw EMFSError(Format(SIncorrectFileName, name.c_str()));
  return utf8;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TMFSItem

TMFSItem::TMFSItem(const std::string& name, TMFS* fs, uint32_t attributes)
    : FName(name), FDateTime(NowAsDosDateTime()), FAttributes(attributes), FFS(fs) {}

TMFSItem::~TMFSItem() {
  if (FParent)
    FParent->Unlink(this);
}

void TMFSItem::LinkTo(TMFSFolder* parent) {
  if (parent)
    parent->Link(this);
}

void TMFSItem::SaveToStream(TStream& stream) const {
  TFieldWriter fields{stream};
  ItemFields(fields, FName, FDateTime, FAttributes);
}

void TMFSItem::LoadFromStream(TStream& stream) {
  std::string name;
  uint32_t dateTime, attributes;
  TFieldReader fields{stream};
  ItemFields(fields, name, dateTime, attributes);
  if (TMFSFolder* parent = FParent; parent && name != FName) {
    // A linked item stays in its folder under its new name.
    parent->Unlink(this);
    FName = std::move(name);
    parent->Link(this);
  } else {
    FName = std::move(name);
  }
  FDateTime = dateTime;
  FAttributes = attributes;
}

// ---------------------------------------------------------------------------------------------
// TMFSFile

TMFSFile::TMFSFile(const std::string& name, TMFS* fs, TMFSFolder* parent)
    : TMFSItem(name, fs, faArchive) {
  LinkTo(parent);
}

TMFSFile::~TMFSFile() {
  for (TMFSFileStream* stream : FStreams)
    stream->Detach();
}

void TMFSFile::CheckContentHeld() const {
  if (ContentLeftOut())
    throw EMFSError(Format(SContentNotRead, Name().c_str()));
}

void TMFSFile::SaveToStream(TStream& stream) const {
  CheckContentHeld();
  TMFSItem::SaveToStream(stream);
  WriteCounted(stream, FContent);
}

void TMFSFile::LoadFromStream(TStream& stream) {
  TMFSItem::LoadFromStream(stream);
  SetContent(ReadCounted(stream));
}

void TMFSFile::SaveToDisk(const std::string& diskPath) const {
  CheckContentHeld();
  SaveStringToFile(FContent, diskPath);
}

// ---------------------------------------------------------------------------------------------
// TMFSFolder

TMFSFolder::TMFSFolder(const std::string& name, TMFS* fs, TMFSFolder* parent)
    : TMFSItem(name, fs, faDirectory), FChildren(fs->CodePage(), true, true) {
  LinkTo(parent);
}

TMFSFolder::~TMFSFolder() {
  if (FS())
    FS()->FolderFreed(this);
  FreeChildren();
}

TMFSItem* TMFSFolder::FindChild(const std::string& name) {
  if (name == ".")
    return this;
  if (name == "..")
    return Parent();
  return static_cast<TMFSItem*>(FChildren.Find(name));
}

void TMFSFolder::Link(TMFSItem* child) {
  if (TObject* earlier = FChildren.Extract(child->FName)) {
    static_cast<TMFSItem*>(earlier)->FParent = nullptr;
    delete earlier;
  }
  FChildren.Set_Item(child->FName, child);
  child->FParent = this;
}

void TMFSFolder::Unlink(TMFSItem* child) {
  if (FChildren.Find(child->FName) == child)
    FChildren.Extract(child->FName);
  child->FParent = nullptr;
}

void TMFSFolder::DetachChildren(std::vector<TMFSFolder*>& folders) {
  for (TObject* object : FChildren.GetObjects()) {
    auto* item = static_cast<TMFSItem*>(object);
    item->FParent = nullptr;
    if (auto* folder = dynamic_cast<TMFSFolder*>(item)) {
      FChildren.Extract(folder->FName);
      folders.push_back(folder);
    }
  }
  FChildren.Clear(); // files only now: freeing them recurses no further
}

void TMFSFolder::FreeChildren() {
  // Each folder is emptied before it is freed, so no destructor reaches below its own level.
  std::vector<TMFSFolder*> pending;
  DetachChildren(pending);
  while (!pending.empty()) {
    TMFSFolder* folder = pending.back();
    pending.pop_back();
    folder->DetachChildren(pending);
    delete folder;
  }
}

void TMFSFolder::SaveOwnFields(TStream& stream) const {
  TMFSItem::SaveToStream(stream);
  WriteUInt32(stream, uint32_t(FChildren.Count()));
}

int32_t TMFSFolder::LoadOwnFields(TStream& stream) {
  TMFSItem::LoadFromStream(stream);
  FreeChildren();
  return ReadCount(stream);
}

void TMFSFolder::SaveToStream(TStream& stream) const {
  SaveOwnFields(stream);
  WalkSubtree(*this, [&stream](const TMFSItem& item, size_t) {
    if (const auto* folder = dynamic_cast<const TMFSFolder*>(&item)) {
      WriteTag(stream, FolderTag);
      folder->SaveOwnFields(stream);
    } else {
      WriteTag(stream, FileTag);
      item.SaveToStream(stream);
    }
  });
}

void TMFSFolder::LoadFromStream(TStream& stream) {
  // A folder being read is linked into its parent only once complete, so a failure frees
  // exactly the unfinished folders (each held by its level) and keeps what was read before.
  struct Level {
    TMFSFolder* folder;
    std::unique_ptr<TMFSFolder> unfinished;
    int32_t childrenLeft;
  };
  std::vector<Level> levels;
  std::vector<char> scratch; // for content left out
  levels.push_back({this, nullptr, LoadOwnFields(stream)});
  FS()->ChargeItems(uint64_t(levels.back().childrenLeft));
  // The book was made where these names differ (another code page): linking would drop one.
  const auto linkLoaded = [&levels](TMFSItem* child) {
    TMFSFolder* into = levels.back().folder;
    if (const TObject* earlier = into->FChildren.Find(child->FName)) {
      std::string path;
      for (size_t i = 1; i < levels.size(); ++i)
        path += PathDelimiter + levels[i].folder->FName;
      throw EMFSError(Format(SEqualNames, path.empty() ? "\\" : path.c_str(),
                             static_cast<const TMFSItem*>(earlier)->FName.c_str(),
                             child->FName.c_str(), into->FS()->CodePage().Number(),
                             SOpenWithOtherCodePage));
    }
    into->Link(child);
  };
  for (;;) {
    Level& level = levels.back();
    if (level.childrenLeft == 0) {
      if (levels.size() == 1)
        return;
      std::unique_ptr<TMFSFolder> done = std::move(level.unfinished);
      levels.pop_back();
      linkLoaded(done.get());
      done.release();
      continue;
    }
    --level.childrenLeft;
    switch (ReadTag(stream)) {
    case FileTag: {
      auto file = std::make_unique<TMFSFile>(std::string(), FS(), nullptr);
      if (const TMFS::TContentWanted& wanted = FS()->FContentWanted) {
        // The name comes first in the record: whether the content is kept is known before it.
        file->TMFSItem::LoadFromStream(stream);
        std::string path;
        for (size_t i = 1; i < levels.size(); ++i)
          path += PathDelimiter + levels[i].folder->FName;
        path += PathDelimiter + file->FName;
        if (wanted(path))
          file->SetContent(ReadCounted(stream));
        else
          file->FLeftOutSize = uint64_t(SkipCounted(stream, scratch));
      } else {
        file->LoadFromStream(stream);
      }
      FS()->ChargeLoad(file->Size());
      linkLoaded(file.get());
      file.release();
      break;
    }
    case FolderTag: {
      auto folder = std::make_unique<TMFSFolder>(std::string(), FS(), nullptr);
      const int32_t count = folder->LoadOwnFields(stream);
      FS()->ChargeItems(uint64_t(count));
      TMFSFolder* raw = folder.get();
      levels.push_back({raw, std::move(folder), count});
      break;
    }
    default:
      throw EMFSError(SIncorrectSerializedFormat);
    }
  }
}

void TMFSFolder::SaveToDisk(const std::string& diskPath) const {
  SaveToDisk(diskPath, true);
}

void TMFSFolder::SaveToDisk(const std::string& diskPath, bool replaceFiles, bool keepDates) const {
  // Every name, and every conflict with what the folder holds, is checked before anything is
  // written, so a refused tree leaves no partial copy.
  TDiskTreeCheck check(diskPath, replaceFiles);
  const TCodePage& codePage = FS()->CodePage();
  WalkSubtree(*this, [&check, &codePage](const TMFSItem& item, size_t depth) {
    const auto* file = dynamic_cast<const TMFSFile*>(&item);
    if (file)
      file->CheckContentHeld();
    check.Add(DiskName(item.Name(), codePage), depth, file == nullptr);
  });
  // Each open folder with its stored date, set once what it holds is written (writing into a
  // folder changes its date); the folder the tree goes into keeps its own.
  std::vector<std::pair<TDiskFolder, std::optional<std::time_t>>> folders;
  folders.emplace_back(TDiskFolder::OpenOrCreate(diskPath), std::nullopt);
  const auto close = [&folders](size_t keep) {
    for (; folders.size() > keep; folders.pop_back())
      if (folders.back().second)
        folders.back().first.SetModified(*folders.back().second);
  };
  WalkSubtree(*this, [&](const TMFSItem& item, size_t depth) {
    close(depth + 1);
    const std::string name = DiskName(item.Name(), codePage);
    const std::optional<std::time_t> date =
        keepDates ? DosDateTimeToTime(item.DateTime()) : std::nullopt;
    TDiskFolder& parent = folders[depth].first;
    if (const auto* file = dynamic_cast<const TMFSFile*>(&item))
      parent.WriteFile(name, file->Content(), replaceFiles,
                       {(item.Attributes() & faReadOnly) != 0, date});
    else
      folders.emplace_back(parent.Subfolder(name, replaceFiles), date);
  });
  close(1);
}

// ---------------------------------------------------------------------------------------------
// TMFS

TMFS::TMFS(TCodePage codePage)
    : FCodePage(codePage), FRoot(std::make_unique<TMFSFolder>(std::string(), this, nullptr)) {}

TMFS::~TMFS() {
  FSession.reset();
  for (TMFSSession* session : FSessions) {
    session->FFS = nullptr;
    session->FFolder = nullptr;
  }
  FSessions.clear();
  FRoot.reset();
}

TMFSSession& TMFS::Session() {
  if (!FSession)
    FSession.reset(new TMFSSession(this, FRoot.get()));
  return *FSession;
}

std::unique_ptr<TMFSSession> TMFS::CreateSession(TMFSFolder* folder) {
  return std::unique_ptr<TMFSSession>(new TMFSSession(this, folder ? folder : FRoot.get()));
}

void TMFS::Clear() {
  FSession.reset();
  ReplaceRoot();
}

void TMFS::ReplaceRoot() {
  InstallRoot(std::make_unique<TMFSFolder>(std::string(), this, nullptr));
}

void TMFS::InstallRoot(std::unique_ptr<TMFSFolder> root) {
  // The new root is in place before the old one goes, so Root never dangles.
  std::unique_ptr<TMFSFolder> old = std::exchange(FRoot, std::move(root));
  old.reset();
}

void TMFS::ChargeLoad(uint64_t bytes) {
  FLoadCharged += bytes;
  if (FLoadCharged > FLoadBudget)
    throw EMFSLimitError(Format("The file system takes more than %llu MB of memory",
                                static_cast<unsigned long long>(FLoadBudget >> 20)));
}

void TMFS::ChargeItems(uint64_t count) {
  FLoadItems += count;
  if (FLoadItems > MaxLoadItems)
    throw EMFSLimitError(Format("The file system holds more than %llu files and folders",
                                static_cast<unsigned long long>(MaxLoadItems)));
  ChargeLoad(count * ItemLoadCost);
}

void TMFS::FolderFreed(TMFSFolder* folder) {
  for (TMFSSession* session : FSessions)
    if (session->FFolder == folder)
      session->FFolder = folder->Parent();
}

std::string SerializedHeader(uint32_t bodyChecksum) {
  return std::string(MFSMagic) + Hex8(bodyChecksum);
}

std::string TMFS::SaveToString() const {
  TMFSSerialStream stream(*FRoot);
  return stream.ReadRest();
}

void TMFS::CheckHeader(std::string_view header, uint32_t bodyChecksum) {
  if (header.substr(0, MFSMagic.size()) != MFSMagic ||
      header.substr(MFSMagic.size()) != Hex8(bodyChecksum))
    throw EMFSError(SIncorrectSerializedFormat);
}

void TMFS::LoadFromString(std::string_view data) {
  const std::string_view body =
      data.size() > SerializedHeaderSize ? data.substr(SerializedHeaderSize) : std::string_view();
  CheckHeader(data.substr(0, SerializedHeaderSize), TextChecksum(body));
  ReplaceRoot();
  TByteViewStream stream(data);
  stream.Seek(int64_t(SerializedHeaderSize), soBeginning);
  FLoadCharged = 0;
  FLoadItems = 0;
  FRoot->LoadFromStream(stream);
}

void TMFS::LoadInOrder(TStream& data) {
  char bytes[SerializedHeaderSize];
  const std::string_view header(
      bytes, size_t(std::max<int64_t>(data.Read(bytes, int64_t(SerializedHeaderSize)), 0)));
  if (header.substr(0, MFSMagic.size()) != MFSMagic)
    throw EMFSError(SIncorrectSerializedFormat);
  TSummingReader body(data);
  FLoadCharged = 0;
  FLoadItems = 0;
  auto root = std::make_unique<TMFSFolder>(std::string(), this, nullptr);
  std::exception_ptr broken;
  try {
    root->LoadFromStream(body);
  } catch (const EMFSLimitError&) {
    // Refused for what the data asks, whatever its sum: the rest is not worth reading.
    throw;
  } catch (const Exception&) {
    // A wrong checksum is the first thing to report, as when the sum comes before the tree.
    broken = std::current_exception();
  }
  body.ReadToEnd();
  CheckHeader(header, body.Sum());
  // As from a string, a broken record leaves the tree read up to it.
  InstallRoot(std::move(root));
  if (broken)
    std::rethrow_exception(broken);
}

std::string TMFS::FixSeparators(const std::string& path) {
  std::string result = path;
  std::replace(result.begin(), result.end(), '/', PathDelimiter);
  return result;
}

std::string TMFS::ExcludeTrailingDelimiter(const std::string& path) {
  if (!path.empty() && path.back() == PathDelimiter)
    return path.substr(0, path.size() - 1);
  return path;
}

std::string TMFS::IncludeTrailingDelimiter(const std::string& path) {
  if (!path.empty() && path.back() != PathDelimiter)
    return path + PathDelimiter;
  return path;
}

std::string TMFS::ExtractPath(const std::string& path) {
  const size_t at = path.rfind(PathDelimiter);
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

std::string TMFS::ExtractName(const std::string& path) {
  const size_t at = path.rfind(PathDelimiter);
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string TMFS::CanonicalPath(const std::string& path) {
  const bool leading = !path.empty() && path.front() == PathDelimiter;
  const bool trailing = path.size() > 1 && path.back() == PathDelimiter;
  std::string_view rest(path);
  if (!rest.empty())
    rest.remove_prefix(1);
  // A ".." takes away the last component kept so far; a "." is dropped.
  std::vector<std::string_view> kept;
  while (!rest.empty()) {
    const size_t at = rest.find(PathDelimiter);
    const std::string_view component = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    if (component == "..") {
      if (kept.empty())
        throw EMFSError(Format(SIncorrectFileName, path.c_str()));
      kept.pop_back();
    } else if (component != ".") {
      kept.push_back(component);
    }
  }
  std::string result = leading ? std::string(1, PathDelimiter) : std::string();
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0)
      result += PathDelimiter;
    result += kept[i];
  }
  // With nothing left the path is the root alone, never a doubled delimiter.
  if (trailing && !kept.empty())
    result += PathDelimiter;
  return result;
}

// ---------------------------------------------------------------------------------------------
// TMFSSession

TMFSSession::TMFSSession(TMFS* fs, TMFSFolder* folder) : FFS(fs), FFolder(folder) {
  FFS->FSessions.push_back(this);
}

TMFSSession::~TMFSSession() {
  if (FFS)
    std::erase(FFS->FSessions, this);
}

TMFS* TMFSSession::FS() const {
  if (!FFS)
    throw EMFSError(SSessionFSFreed);
  return FFS;
}

TMFSFolder* TMFSSession::Folder() const {
  return FFolder ? FFolder : FS()->Root();
}

namespace {

// The item path names in session, or nullptr: a component that is missing, or a file named
// with a trailing delimiter or with more components behind it.
TMFSItem* FindItem(const TMFSSession& session, std::string_view rest) {
  TMFSFolder* folder = session.Folder();
  if (!rest.empty() && rest.front() == PathDelimiter) {
    folder = session.FS()->Root();
    rest.remove_prefix(1);
  }
  const bool trailing = !rest.empty() && rest.back() == PathDelimiter;
  while (!rest.empty()) {
    const size_t at = rest.find(PathDelimiter);
    const std::string component(rest.substr(0, at));
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    TMFSItem* item = folder->FindChild(component);
    if (auto* next = dynamic_cast<TMFSFolder*>(item)) {
      folder = next;
      continue;
    }
    return trailing || !rest.empty() ? nullptr : item;
  }
  return folder;
}

} // namespace

TMFSItem* TMFSSession::GetItem(const std::string& path) const {
  TMFSItem* item = FindItem(*this, path);
  if (!item)
    throw EMFSError(Format(SPathNotFound, path.c_str()));
  return item;
}

TMFSFolder* TMFSSession::FolderOf(const std::string& convertedPath, std::string& name) const {
  name = TMFS::ExtractName(convertedPath);
  // A path ending in "\" (or the empty path) can only resolve to a folder.
  return static_cast<TMFSFolder*>(
      GetItem(TMFS::IncludeTrailingDelimiter(TMFS::ExtractPath(convertedPath))));
}

TMFSFile* TMFSSession::GetFile(const std::string& path) const {
  std::string name;
  TMFSFolder* folder = FolderOf(TMFS::FixSeparators(path), name);
  auto* file = dynamic_cast<TMFSFile*>(folder->FindChild(name));
  if (!file)
    throw EMFSError(Format(SFileNotFound, path.c_str()));
  return file;
}

TMFSFile* TMFSSession::CreateFile(const std::string& path, uint32_t attributes, bool openIfExists) {
  std::string name;
  TMFSFolder* folder = FolderOf(TMFS::FixSeparators(path), name);
  TMFSItem* item = folder->FindChild(name);
  if (!item) {
    // ".." above the root finds nothing, but a file of that name could never be found again.
    if (name == "..")
      throw EMFSError(Format(SIncorrectFileName, path.c_str()));
    auto* file = new TMFSFile(name, FFS, folder);
    file->SetAttributes(file->Attributes() | (attributes & CreateAttributeMask));
    return file;
  }
  if (auto* file = dynamic_cast<TMFSFile*>(item)) {
    if (openIfExists)
      return file;
    throw EMFSError(Format(SFileAlreadyExists, path.c_str()));
  }
  throw EMFSError(Format(SFolderAlreadyExists, path.c_str()));
}

TMFSFolder* TMFSSession::ForceFolders(const std::string& path) {
  if (path.empty())
    return Folder();
  // Each step's path is the folder part of the one before, so all are prefixes of converted:
  // walk down from the shortest, as a recursion over the folder parts would, without one.
  const std::string converted = TMFS::FixSeparators(path);
  std::vector<size_t> stepLengths;
  std::string step = converted;
  while (!step.empty() && step != "\\") {
    stepLengths.push_back(step.size());
    step = TMFS::ExtractPath(TMFS::ExcludeTrailingDelimiter(step));
  }
  TMFSFolder* folder = step.empty() ? Folder() : FS()->Root();
  for (size_t i = stepLengths.size(); i-- > 0;) {
    const std::string stepPath = converted.substr(0, stepLengths[i]);
    // Messages name the path as each step received it; the first step received the caller's.
    const std::string& received = i == 0 ? path : stepPath;
    const std::string name = TMFS::ExtractName(TMFS::ExcludeTrailingDelimiter(stepPath));
    TMFSItem* item = folder->FindChild(name);
    if (!item) {
      if (name == "..")
        throw EMFSError(Format(SIncorrectFileName, received.c_str()));
      folder = new TMFSFolder(name, FFS, folder);
    } else if (auto* next = dynamic_cast<TMFSFolder*>(item)) {
      folder = next;
    } else {
      throw EMFSError(Format(SFileAlreadyExists, received.c_str()));
    }
  }
  return folder;
}

std::unique_ptr<TMFSFileStream>
TMFSSession::CreateFileStream(const std::string& path, uint32_t disposition, uint32_t flags) {
  TMFSFile* file = nullptr;
  switch (disposition) {
  case CREATE_NEW:
    file = CreateFile(path, flags, false);
    break;
  case CREATE_ALWAYS:
    file = CreateFile(path, flags, true);
    file->Content().clear();
    break;
  case OPEN_EXISTING:
    file = GetFile(path);
    break;
  case OPEN_ALWAYS:
    file = CreateFile(path, flags, true);
    break;
  case TRUNCATE_EXISTING:
    file = GetFile(path);
    file->Content().clear();
    break;
  default:
    throw EMFSError(Format(SIncorrectParameters, "TMFSSession.CreateFileStream"));
  }
  if (flags & FILE_FLAG_DELETE_ON_CLOSE)
    file->SetDeleteOnClose(true);
  return std::make_unique<TMFSFileStream>(file);
}

void TMFSSession::DeleteItem(const std::string& path) {
  TMFSItem* item = GetItem(path);
  if (auto* folder = dynamic_cast<TMFSFolder*>(item)) {
    if (folder == FS()->Root())
      throw EMFSError(SCannotDeleteRoot);
    if (folder->Children().Count() > 0)
      throw EMFSError(Format(SFolderNotEmpty, path.c_str()));
  }
  // A session on the freed folder moves to its parent (TMFS::FolderFreed).
  delete item;
}

std::string TMFSSession::ExpandPath(const std::string& path) const {
  std::string converted = TMFS::FixSeparators(path);
  if (converted.empty() || converted.front() != PathDelimiter) {
    std::vector<const TMFSFolder*> chain;
    for (const TMFSFolder* folder = Folder(); folder; folder = folder->Parent())
      chain.push_back(folder);
    std::string prefix;
    for (size_t i = chain.size(); i-- > 0;) {
      prefix += chain[i]->Name();
      prefix += PathDelimiter;
    }
    converted = prefix + converted;
  }
  return TMFS::CanonicalPath(converted);
}

std::string TMFSSession::UniqueFileName(const std::string& folder, const std::string& prefix,
                                        uint32_t number) const {
  const std::string stem = TMFS::IncludeTrailingDelimiter(folder) + prefix;
  if (number != 0)
    return stem + Hex8(number);
  for (uint32_t n = 0;; ++n) {
    std::string candidate = stem + Hex8(n);
    if (!Exists(candidate))
      return candidate;
  }
}

bool TMFSSession::Exists(const std::string& path) const {
  // A session whose file system is gone holds nothing.
  return FFS && FindItem(*this, TMFS::FixSeparators(path)) != nullptr;
}

std::string TMFSSession::ReadFile(const std::string& path) const {
  const TMFSFile* file = GetFile(path);
  file->CheckContentHeld();
  return file->Content();
}

TMFSFile* TMFSSession::WriteFile(const std::string& path, std::string content) {
  ForceFolders(TMFS::ExtractPath(TMFS::FixSeparators(path)));
  TMFSFile* file = CreateFile(path, 0, true);
  file->SetContent(std::move(content));
  return file;
}

// ---------------------------------------------------------------------------------------------
// TMFSFileStream

TMFSFileStream::TMFSFileStream(TMFSFile* file) : FFile(file) {
  file->FStreams.push_back(this);
}

TMFSFileStream::~TMFSFileStream() {
  if (!FFile)
    return;
  std::erase(FFile->FStreams, this);
  if (FFile->FDeleteOnClose && FFile->FStreams.empty())
    delete FFile;
  FFile = nullptr;
}

void TMFSFileStream::Detach() {
  FFileName = FFile->Name();
  FFile = nullptr;
}

std::string& TMFSFileStream::FileContent() {
  if (!FFile)
    throw EMFSError(Format(SStreamFileFreed, FFileName.c_str()));
  FFile->CheckContentHeld();
  return FFile->FContent;
}

int64_t TMFSFileStream::Read(void* buffer, int64_t count) {
  return ReadBytesAt(FileContent(), FPosition, buffer, count);
}

int64_t TMFSFileStream::Write(const void* buffer, int64_t count) {
  std::string& content = FileContent();
  // Content beyond the format's 32-bit lengths could never be saved: a short write.
  count = std::clamp<int64_t>(count, 0, std::max<int64_t>(MaxMFSLength - FPosition, 0));
  return WriteBytesAt(content, FPosition, buffer, count);
}

int64_t TMFSFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t length = int64_t(FileContent().size());
  // Positions are 32-bit; a larger offset lands at an end, exactly as it would uncut.
  offset = std::clamp<int64_t>(offset, INT32_MIN, INT32_MAX);
  int64_t target = FPosition;
  switch (origin) {
  case soBeginning:
    target = offset;
    break;
  case soCurrent:
    target = FPosition + offset;
    break;
  case soEnd:
    target = length - offset;
    break; // counts back from the end
  }
  FPosition = std::clamp<int64_t>(target, 0, length);
  return FPosition;
}

void TMFSFileStream::SetSize(int64_t newSize) {
  std::string& content = FileContent();
  if (newSize < 0 || newSize > MaxMFSLength)
    throw EWriteError(SWriteError);
  content.resize(size_t(newSize));
  FPosition = std::min(FPosition, newSize);
}

int64_t TMFSFileStream::Size() {
  return int64_t(FileContent().size());
}
