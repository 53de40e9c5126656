#include "resources/vexLayout.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

namespace {

constexpr uint16_t RelocationAbsolute = 0; // padding entry
constexpr uint16_t RelocationHighLow = 3;  // the one i386 relocation that holds a full address
constexpr uint32_t RelocationBlockHeader = 8;
constexpr int64_t Max32 = 0xFFFFFFFF;

[[noreturn]] void Refuse(const std::string& cause) {
  throw EVexError(ENOTSUP, cause);
}
[[noreturn]] void Damaged(const std::string& cause) {
  throw EDamagedData(cause);
}

uint32_t Checked32(int64_t value, const char* field) {
  if (value < 0 || value > Max32)
    Refuse(Format("%s would leave the 32-bit range", field));
  return uint32_t(value);
}

// The sections by address, so that finding the one holding an address costs the logarithm of
// their number: a relocation table checked against thousands of sections would otherwise cost
// the product of the two. Sections that overlap in memory have no single holder of an address
// and are found in table order instead.
class TSectionIndex {
public:
  explicit TSectionIndex(const TImageHeaders& headers) : FHeaders(headers) {
    for (size_t i = 0; i < headers.Sections.size(); ++i)
      if (headers.Sections[i].MemorySize() != 0)
        FByAddress.push_back(int(i));
    std::sort(FByAddress.begin(), FByAddress.end(),
              [&](int a, int b) { return Address(a) < Address(b); });
    for (size_t k = 1; k < FByAddress.size(); ++k)
      if (End(FByAddress[k - 1]) > Address(FByAddress[k]))
        FOverlapping = true;
  }

  bool Overlapping() const { return FOverlapping; }

  // Index of the section holding rva in memory, or -1.
  int Find(uint32_t rva) const {
    if (FOverlapping)
      return FHeaders.SectionOfRva(rva);
    auto after = std::upper_bound(FByAddress.begin(), FByAddress.end(), rva,
                                  [&](uint32_t value, int i) { return value < Address(i); });
    if (after == FByAddress.begin())
      return -1;
    const int i = *(after - 1);
    return FHeaders.Sections[size_t(i)].HoldsRva(rva) ? i : -1;
  }

private:
  uint32_t Address(int i) const { return FHeaders.Sections[size_t(i)].VirtualAddress; }
  uint64_t End(int i) const {
    return uint64_t(Address(i)) + FHeaders.Sections[size_t(i)].MemorySize();
  }

  const TImageHeaders& FHeaders;
  std::vector<int> FByAddress;
  bool FOverlapping = false;
};

// What moves when the resource section changes size.
class TMoves {
public:
  TMoves(const TImageHeaders& headers, int section, int64_t virtualDelta)
      : FHeaders(headers), FIndex(headers), FSection(section), FVirtualDelta(virtualDelta) {
    const TSectionHeader& s = headers.Sections[size_t(section)];
    FRva = s.VirtualAddress;
    FRvaEnd = uint64_t(s.VirtualAddress) + AlignUp(s.MemorySize(), headers.SectionAlignment);
  }

  const TSectionIndex& Index() const { return FIndex; }

  bool InResources(uint32_t rva) const { return rva >= FRva && rva < FRvaEnd; }
  // Some section other than the resource section moves in memory.
  bool AnySectionMoves() const {
    return FVirtualDelta != 0 &&
           std::any_of(FHeaders.Sections.begin(), FHeaders.Sections.end(),
                       [&](const TSectionHeader& s) { return s.VirtualAddress > FRva; });
  }
  // The section holding rva moves in memory.
  bool Moves(uint32_t rva) const {
    const int i = FIndex.Find(rva);
    return FVirtualDelta != 0 && i >= 0 && i != FSection &&
           FHeaders.Sections[size_t(i)].VirtualAddress > FRva;
  }
  // Why an address may not be left pointing where it points, or null when it may.
  const char* Breaks(uint32_t rva) const {
    if (InResources(rva))
      return "the resource section, which is rebuilt";
    if (Moves(rva))
      return "a section that would move";
    return nullptr;
  }
  std::string SectionName(uint32_t rva) const {
    const int i = FIndex.Find(rva);
    return i < 0 ? std::string("?") : FHeaders.Sections[size_t(i)].Name;
  }

private:
  const TImageHeaders& FHeaders;
  TSectionIndex FIndex;
  int FSection;
  int64_t FVirtualDelta;
  uint32_t FRva;
  uint64_t FRvaEnd;
};

// The file bytes of size bytes at rva, or none when they are not all in the raw data of
// section i, the one holding rva (-1 for none).
std::optional<TByteView> RvaBytes(TByteView file, const TImageHeaders& headers, int i, uint32_t rva,
                                  uint32_t size) {
  if (i < 0)
    return std::nullopt;
  const TSectionHeader& s = headers.Sections[size_t(i)];
  const uint32_t offset = rva - s.VirtualAddress;
  if (offset > s.SizeOfRawData || size > s.SizeOfRawData - offset)
    return std::nullopt;
  if (!file.Contains(uint64_t(s.PointerToRawData) + offset, size))
    return std::nullopt;
  return file.Part(uint64_t(s.PointerToRawData) + offset, size, "section data");
}

void CheckDirectories(const TImageHeaders& headers, const TMoves& moves) {
  for (uint32_t i = 0; i < headers.DirectoryCount; ++i) {
    const TDataDirectory& d = headers.Directories[i];
    // The certificate table holds a file offset, and the resource directory is the one rebuilt.
    if (i == ddResource || i == ddSecurity || d.VirtualAddress == 0 || d.Size == 0)
      continue;
    const uint32_t last = d.VirtualAddress + (d.Size - 1);
    for (uint32_t rva : {d.VirtualAddress, last}) {
      if (moves.InResources(rva))
        Refuse(Format("data directory %u lies inside the resource section", i));
      // Relocations and the debug directory are checked or corrected; a global pointer is a
      // plain address. Every other directory holds addresses that nothing would correct.
      if (moves.Moves(rva) && i != ddBaseReloc && i != ddDebug && i != ddGlobalPtr)
        Refuse(Format("section \"%s\" would move, but data directory %u in it holds addresses "
                      "that cannot be corrected",
                      moves.SectionName(rva).c_str(), i));
    }
  }
}

// Relocations matter only where an address they fix up would move: an update that moves no
// section never reads them, so a table of types we cannot check, or a damaged one, refuses
// only an update that would need it.
void CheckRelocations(TByteView file, const TImageHeaders& headers, const TMoves& moves) {
  if (headers.DirectoryCount <= ddBaseReloc || headers.Directories[ddBaseReloc].Size == 0 ||
      !moves.AnySectionMoves())
    return;
  const TDataDirectory& d = headers.Directories[ddBaseReloc];
  if (moves.Index().Overlapping())
    Damaged("sections overlap in memory, so the base relocations cannot be checked");
  const std::optional<TByteView> relocs =
      RvaBytes(file, headers, headers.SectionOfRva(d.VirtualAddress), d.VirtualAddress, d.Size);
  if (!relocs)
    Damaged("the base relocation table lies outside the file");
  uint64_t block = 0;
  while (block + RelocationBlockHeader <= d.Size) {
    const uint32_t page = relocs->U32(block, "relocation block");
    const uint32_t blockSize = relocs->U32(block + 4, "relocation block");
    if (blockSize == 0 && page == 0)
      break; // zero padding at the end of the table
    if (blockSize < RelocationBlockHeader || blockSize > d.Size - block)
      Damaged(Format("relocation block at offset %llu has a size of %u", (unsigned long long)block,
                     blockSize));
    for (uint64_t e = block + RelocationBlockHeader; e + 2 <= block + blockSize; e += 2) {
      const uint16_t entry = relocs->U16(e, "relocation entry");
      const uint16_t type = entry >> 12;
      if (type == RelocationAbsolute)
        continue;
      const uint32_t location = page + (entry & 0xFFF);
      if (const char* why = moves.Breaks(location))
        Refuse(Format("a base relocation at RVA 0x%X lies in %s", location, why));
      if (type != RelocationHighLow)
        Refuse(Format("base relocation of type %u at RVA 0x%X cannot be checked", type, location));
      const std::optional<TByteView> value =
          RvaBytes(file, headers, moves.Index().Find(location), location, 4);
      if (!value)
        continue; // uninitialized data: the loader finds no address there
      const uint32_t address = value->U32(0, "relocated address");
      if (address < headers.ImageBase)
        continue;
      const uint32_t target = address - headers.ImageBase;
      if (const char* why = moves.Breaks(target))
        Refuse(Format("code or data at RVA 0x%X points into %s (section \"%s\")", location, why,
                      moves.SectionName(target).c_str()));
    }
    block += blockSize;
  }
}

void PlanDebugDirectory(TByteView file, const TImageHeaders& old, TResourceLayout& layout) {
  if (old.DirectoryCount <= ddDebug || old.Directories[ddDebug].Size == 0)
    return;
  if (layout.FileDelta == 0 && layout.VirtualDelta == 0)
    return;
  const TDataDirectory& d = old.Directories[ddDebug];
  const int i = old.SectionOfRva(d.VirtualAddress);
  if (i < 0)
    Refuse("the debug directory lies in no section, so its entries cannot be corrected");
  const TSectionHeader& s = old.Sections[size_t(i)];
  const uint64_t offset = uint64_t(s.PointerToRawData) + (d.VirtualAddress - s.VirtualAddress);
  // Size counts bytes when it is a multiple of the entry size, and entries otherwise; either
  // way the entries stop at the end of the section's data in the file, and where a signature
  // that is cut off begins: entries there are not in the new file.
  const uint64_t count =
      d.Size % DebugDirectoryEntrySize == 0 ? d.Size / DebugDirectoryEntrySize : d.Size;
  const uint64_t dataEnd =
      std::min<uint64_t>(uint64_t(s.PointerToRawData) + s.SizeOfRawData, layout.TailEnd);
  const uint64_t available = offset < dataEnd ? (dataEnd - offset) / DebugDirectoryEntrySize : 0;
  const int64_t moved = s.PointerToRawData > layout.SectionOffset ? layout.FileDelta : 0;
  for (uint64_t k = 0; k < std::min(count, available); ++k) {
    const uint64_t entry = offset + k * DebugDirectoryEntrySize;
    const uint32_t address = file.U32(entry + DebugEntryField::AddressOfRawData.Offset,
                                      DebugEntryField::AddressOfRawData.Name);
    const uint32_t pointer = file.U32(entry + DebugEntryField::PointerToRawData.Offset,
                                      DebugEntryField::PointerToRawData.Name);
    if (pointer <= layout.SectionOffset)
      continue;
    if (pointer < layout.TailStart)
      Refuse("debug data lies inside the resource section");
    const uint64_t newEntry = uint64_t(int64_t(entry) + moved);
    if (address != 0)
      layout.Patches.push_back(
          {newEntry + DebugEntryField::AddressOfRawData.Offset,
           Checked32(int64_t(address) + layout.VirtualDelta, "debug data address")});
    layout.Patches.push_back(
        {newEntry + DebugEntryField::PointerToRawData.Offset,
         Checked32(int64_t(pointer) + layout.FileDelta, "debug data pointer")});
  }
}

} // namespace

void CheckResourceSectionPlace(TByteView file, const TImageHeaders& headers, int section) {
  const TSectionHeader& s = headers.Sections[size_t(section)];
  if (s.PointerToRawData == 0 || s.SizeOfRawData == 0)
    Damaged("the resource section has no data in the file");
  if (!file.Contains(s.PointerToRawData, s.SizeOfRawData))
    Damaged("the resource section's data runs past the end of the file");
  if (s.PointerToRawData < headers.HeadersEnd())
    Damaged("the resource section's data overlaps the image headers");
}

TResourceLayout PlanResourceLayout(TByteView file, const TImageHeaders& headers, int section,
                                   uint64_t newSize) {
  CheckResourceSectionPlace(file, headers, section);
  if (newSize > uint64_t(Max32) - headers.FileAlignment)
    Refuse("the new resource section is too large for a 32-bit image");
  const TSectionHeader& old = headers.Sections[size_t(section)];
  TResourceLayout layout;
  layout.Headers = headers;
  TImageHeaders& h = layout.Headers;
  const uint32_t z = uint32_t(newSize);
  layout.SectionOffset = old.PointerToRawData;
  layout.OldRawSize = old.SizeOfRawData;
  layout.NewRawSize = AlignUp(z, h.FileAlignment);
  layout.FileDelta = int64_t(layout.NewRawSize) - int64_t(old.SizeOfRawData);
  // Measured against the section's own extent in memory, which is what the next section's
  // address follows.
  layout.VirtualDelta = int64_t(AlignUp(z, h.SectionAlignment)) -
                        int64_t(AlignUp(old.MemorySize(), h.SectionAlignment));
  layout.TailStart = uint64_t(old.PointerToRawData) + old.SizeOfRawData;
  layout.TailEnd = file.Size();

  const TMoves moves(headers, section, layout.VirtualDelta);
  if (const char* why = moves.Breaks(h.AddressOfEntryPoint))
    Refuse(Format("the entry point lies in %s", why));
  CheckDirectories(headers, moves);
  CheckRelocations(file, headers, moves);

  const uint64_t newRvaEnd = uint64_t(old.VirtualAddress) + AlignUp(z, h.SectionAlignment);
  for (size_t i = 0; i < h.Sections.size(); ++i) {
    if (int(i) == section)
      continue;
    TSectionHeader& s = h.Sections[i];
    const bool hasData = s.PointerToRawData != 0 && s.SizeOfRawData != 0;
    if (hasData && s.PointerToRawData < layout.TailStart &&
        uint64_t(s.PointerToRawData) + s.SizeOfRawData > layout.SectionOffset)
      Damaged(Format("section \"%s\" overlaps the resource section in the file", s.Name.c_str()));
    if (s.VirtualAddress > old.VirtualAddress) {
      s.VirtualAddress = Checked32(s.VirtualAddress + layout.VirtualDelta, "a section address");
      if (s.VirtualAddress < newRvaEnd)
        Damaged(Format("section \"%s\" overlaps the resource section in memory", s.Name.c_str()));
    } else if (uint64_t(s.VirtualAddress) + s.MemorySize() > old.VirtualAddress) {
      Damaged(Format("section \"%s\" overlaps the resource section in memory", s.Name.c_str()));
    }
    // File positions behind the section move with the tail, whatever the order in memory.
    if (s.PointerToRawData > layout.SectionOffset)
      s.PointerToRawData = Checked32(s.PointerToRawData + layout.FileDelta, "a section position");
    if (s.PointerToRelocations > layout.SectionOffset)
      s.PointerToRelocations = Checked32(s.PointerToRelocations + layout.FileDelta, "a position");
    if (s.PointerToLinenumbers > layout.SectionOffset)
      s.PointerToLinenumbers = Checked32(s.PointerToLinenumbers + layout.FileDelta, "a position");
  }
  if (h.PointerToSymbolTable > layout.SectionOffset)
    h.PointerToSymbolTable =
        Checked32(h.PointerToSymbolTable + layout.FileDelta, "PointerToSymbolTable");

  TSectionHeader& s = h.Sections[size_t(section)];
  s.SizeOfRawData = layout.NewRawSize;
  s.VirtualSize = z;
  h.Directories[ddResource].Size = z;
  h.SizeOfImage = Checked32(h.SizeOfImage + layout.VirtualDelta, "SizeOfImage");
  // A section's data counts as initialized; a damaged count is not driven below zero.
  h.SizeOfInitializedData =
      uint32_t(std::clamp<int64_t>(h.SizeOfInitializedData + layout.FileDelta, 0, Max32));
  for (uint32_t i = 0; i < h.DirectoryCount; ++i)
    if (i != ddSecurity && h.Directories[i].VirtualAddress > old.VirtualAddress)
      h.Directories[i].VirtualAddress =
          Checked32(h.Directories[i].VirtualAddress + layout.VirtualDelta, "a directory address");

  // Any change invalidates a signature: it is dropped, and its bytes are cut off when they end
  // the file, where signing puts them.
  if (h.DirectoryCount > ddSecurity && h.Directories[ddSecurity].Size != 0) {
    const TDataDirectory cert = h.Directories[ddSecurity];
    if (cert.VirtualAddress >= layout.TailStart && cert.VirtualAddress <= file.Size() &&
        uint64_t(cert.VirtualAddress) + cert.Size >= file.Size())
      layout.TailEnd = cert.VirtualAddress;
    layout.SignatureRemoved = true;
  }
  if (h.DirectoryCount > ddSecurity)
    h.Directories[ddSecurity] = TDataDirectory();

  PlanDebugDirectory(file, headers, layout);
  layout.NewLength =
      uint64_t(layout.SectionOffset) + layout.NewRawSize + (layout.TailEnd - layout.TailStart);
  if (layout.NewLength > uint64_t(Max32))
    Refuse("the new file would be larger than 4 GiB");
  return layout;
}
