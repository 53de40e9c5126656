#include "resources/u_PEModule.h"

#include "common/u_FileSnapshot.h"
#include "resources/vexResTree.h"
#include "resources/vexTools.h"

TPEModule::TPEModule(const std::string& fileName)
    : FFileName(fileName),
      FBytes(
          ReadFileSnapshot(TOpenedFile::Open(fileName).Handle(), fileName, MaxImageFileSize).Bytes),
      FImage(FBytes) {
  Parse(Image());
}

TPEModule::TPEModule(const std::string& fileName, std::string_view image)
    : FFileName(fileName), FImage(image) {
  Parse(Image());
}

void TPEModule::Parse(TByteView image) {
  try {
    const TImageHeaders headers = ReadImageHeaders(image);
    FHeadersEnd = headers.HeadersEnd();
    const int section = headers.ResourceSection();
    if (section >= 0)
      FRoot = ResTreeParse(image, headers.Sections[size_t(section)], &FTreeParts);
  } catch (const EFileIOError& e) { // EDamagedData, or EVexError for what the rewriter refuses
    RaiseVexError(e.Code(), e.Message());
  }
}

TPEModule::~TPEModule() = default;

TByteView TPEModule::Image() const {
  return TByteView(reinterpret_cast<const uint8_t*>(FImage.data()), FImage.size());
}

uint64_t TPEModule::OffsetOf(std::string_view part) const {
  return uint64_t(part.data() - FImage.data());
}

std::vector<TFileRange> TPEModule::ParsedParts() const {
  std::vector<TFileRange> parts{{0, FHeadersEnd}};
  parts.insert(parts.end(), FTreeParts.begin(), FTreeParts.end());
  return parts;
}

std::optional<TFileRange> FindStandAloneResource(TSnapshotReader& reader,
                                                 const std::string& fileName, const TResIdent& type,
                                                 const TResIdent& name) {
  // Enough for the headers of every usual file, and for the tables of a usual resource tree,
  // which lie together at its section's start.
  constexpr uint64_t ProbeReadSize = 64 << 10;
  // Each round reads what the last parse went by without having it; the tree's depth (three
  // levels) bounds a usual file's rounds well below this.
  constexpr int MaxProbeRounds = 16;
  reader.Read({0, ProbeReadSize});
  for (int round = 0; round < MaxProbeRounds; ++round) {
    std::optional<TPEModule> module;
    try {
      module.emplace(fileName, reader.Bytes());
    } catch (const EOSError&) { // may come of bytes not read yet
      return std::nullopt;
    }
    const std::optional<std::string_view> data = module->FindResource(type, name);
    const TFileRange place =
        data ? TFileRange{module->OffsetOf(*data), data->size()} : TFileRange{};
    // A parse that had all its bytes is the one of the whole file.
    bool complete = true;
    for (const TFileRange& part : module->ParsedParts())
      if (!(part.Offset == place.Offset && part.Size == place.Size) && !reader.HasRead(part)) {
        reader.Read({part.Offset, std::max(part.Size, ProbeReadSize)});
        complete = false;
      }
    if (complete)
      return data && module->ResourceStandsAlone(type, name) ? std::optional(place) : std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string_view> TPEModule::FindResource(const TResIdent& type,
                                                        const TResIdent& name) const {
  if (!FRoot)
    return std::nullopt;
  TResItem* t = FindResDirectory(*FRoot, type);
  TResItem* n = t ? FindResDirectory(*t, name) : nullptr;
  if (!n)
    return std::nullopt;
  const TResItem* leaf = FindResLeaf(*n, 0);
  for (auto it = n->Children.begin(); !leaf && it != n->Children.end(); ++it)
    if (!(*it)->IsDirectory)
      leaf = it->get();
  if (!leaf)
    return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(leaf->MappedData), leaf->Size);
}

bool TPEModule::ResourceStandsAlone(const TResIdent& type, const TResIdent& name) const {
  const std::optional<std::string_view> data = FindResource(type, name);
  TResItem* t = FRoot ? FindResDirectory(*FRoot, type) : nullptr;
  TResItem* n = t ? FindResDirectory(*t, name) : nullptr;
  if (!data || !n || !FindResLeaf(*n, 0))
    return false;
  // The data's own part overlaps it; any other one is a part the update would copy from it.
  const uint64_t start = OffsetOf(*data);
  const uint64_t end = start + data->size();
  size_t overlapping = 0;
  for (const TFileRange& part : FTreeParts)
    if (part.Offset < end && start < part.Offset + part.Size)
      ++overlapping;
  return overlapping == 1;
}
