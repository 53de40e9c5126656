#include "resources/vexResTree.h"

#include "common/u_FileIO.h"
#include "common/u_Files.h"
#include "resources/u_ResDirectoryFormat.h"
#include "resources/u_WinInfo.h"
#include "resources/vexStrings.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

using namespace ResFormat;

namespace {

// A big leaf is copied into a mapped image in windows of this size, each let go once written.
constexpr uint64_t LeafWindow = 8 << 20;

[[noreturn]] void BadTree(const std::string& cause) {
  throw EDamagedData("damaged resource directory: " + cause);
}

class TTreeParser {
public:
  TTreeParser(TByteView file, const TSectionHeader& section, std::vector<TFileRange>* parts)
      : FParts(parts), FSectionOffset(section.PointerToRawData),
        FSection(
            file.Part(section.PointerToRawData, section.SizeOfRawData, "resource section data")),
        FRva(section.VirtualAddress) {}

  std::unique_ptr<TResItem> Entry(uint32_t nameWord, uint32_t offsetWord, int depth) {
    if (depth > MaxResourceTreeDepth)
      BadTree(Format("more than %d levels", MaxResourceTreeDepth));
    auto item = std::make_unique<TResItem>();
    item->IsDirectory = (offsetWord & HighBit) != 0;
    if (nameWord & HighBit)
      item->Name = ReadName(nameWord & ~HighBit);
    else
      item->Id = int32_t(nameWord);
    const uint32_t offset = offsetWord & ~HighBit;
    if (item->IsDirectory)
      ReadDirectory(*item, offset, depth);
    else
      ReadLeaf(*item, offset);
    return item;
  }

private:
  // Counts count more bytes of the section as taken by the tree. Tables, names, data entries
  // and data all lie in the section, so without sharing they cannot claim more than it holds.
  // Overlapping tables could otherwise list millions of entries from a small section; with
  // this bound a tree costs at most one node (under 200 bytes) per 8 section bytes, and the
  // parse time is linear in the section's size.
  void Claim(uint64_t count, uint32_t offset) {
    FClaimed += count;
    if (FClaimed > FSection.Size())
      BadTree(Format("its tables, names and data claim more than the section's %u bytes, so "
                     "they overlap (at offset 0x%X)",
                     uint32_t(FSection.Size()), offset));
  }

  void Note(uint64_t offset, uint64_t count) {
    if (FParts && count > 0)
      FParts->push_back({FSectionOffset + offset, count});
  }

  std::u16string ReadName(uint32_t offset) {
    const uint16_t length = FSection.U16(offset, "resource name");
    Claim(2 + uint64_t(length) * 2, offset);
    Note(offset, 2 + uint64_t(length) * 2);
    TByteCursor units(FSection.Part(uint64_t(offset) + 2, uint64_t(length) * 2, "resource name"));
    std::u16string name(length, u'\0');
    for (char16_t& unit : name)
      unit = char16_t(units.U16("resource name"));
    if (name.empty()) // an empty name could not be told from a numeric entry
      BadTree(Format("empty name at offset 0x%X", offset));
    return name;
  }

  void ReadDirectory(TResItem& item, uint32_t offset, int depth) {
    if (!FVisited.insert(offset).second)
      BadTree(Format("the directory at offset 0x%X is reached twice (a loop)", offset));
    const auto table = ReadRecord<TDirectoryTable>(
        FSection.Part(offset, DirectoryTableSize, "resource directory"));
    item.Characteristics = table.Characteristics;
    item.TimeStamp = table.TimeStamp;
    item.MajorVersion = table.MajorVersion;
    item.MinorVersion = table.MinorVersion;
    const uint32_t named = table.NamedCount;
    const uint32_t ids = table.IdCount;
    // Taking the whole entry array first bounds the loop by the section size.
    TByteCursor entries(FSection.Part(uint64_t(offset) + DirectoryTableSize,
                                      uint64_t(named + ids) * DirectoryEntrySize,
                                      "resource directory entries"));
    Claim(DirectoryTableSize + uint64_t(named + ids) * DirectoryEntrySize, offset);
    Note(offset, DirectoryTableSize + uint64_t(named + ids) * DirectoryEntrySize);
    for (uint32_t k = 0; k < named + ids; ++k) {
      const auto entry = ReadRecord<TDirectoryEntry>(entries);
      if (((entry.NameWord & HighBit) != 0) != (k < named))
        BadTree(Format("directory at offset 0x%X: named entries do not come first", offset));
      item.Children.push_back(Entry(entry.NameWord, entry.OffsetWord, depth + 1));
    }
    item.NamedCount = named;
    item.IdCount = ids;
  }

  void ReadLeaf(TResItem& item, uint32_t offset) {
    const auto entry =
        ReadRecord<TDataEntry>(FSection.Part(offset, DataEntrySize, "resource data entry"));
    const uint32_t rva = entry.Rva;
    item.Size = entry.Size;
    item.CodePage = entry.CodePage;
    item.Reserved = entry.Reserved;
    if (rva < FRva || !FSection.Contains(rva - FRva, item.Size))
      BadTree(
          Format("data at RVA 0x%X (%u bytes) lies outside the resource section", rva, item.Size));
    Claim(DataEntrySize + uint64_t(item.Size), offset);
    Note(offset, DataEntrySize);
    Note(rva - FRva, item.Size);
    item.Source = rdMapped;
    item.MappedData = FSection.Bytes(rva - FRva, item.Size, "resource data");
  }

  std::vector<TFileRange>* FParts;
  uint64_t FSectionOffset;
  TByteView FSection;
  uint32_t FRva;
  std::unordered_set<uint32_t> FVisited;
  uint64_t FClaimed = 0;
};

// Names order by their ANSI form (ResourceNameCodePage); a name the code page cannot hold (possible
// in a file written elsewhere) orders by its UTF-8 form instead, so that adding never fails on it.
std::string SortKey(const std::u16string& name) {
  try {
    return ResourceNameCodePage().Utf16ToAnsi(name);
  } catch (const EConvertError&) {
    std::string key;
    for (char16_t unit : name) {
      key.push_back(char(unit >> 8));
      key.push_back(char(unit & 0xFF));
    }
    return key;
  }
}

uint64_t Align4(uint64_t value) {
  return (value + 3) & ~uint64_t(3);
}

void Measure(const TResItem& item, TResTreeSize& size) {
  if (!item.IsDirectory) {
    size.Directories += DataEntrySize;
    size.Data += Align4(item.Size);
    return;
  }
  size.Directories += DirectoryTableSize + DirectoryEntrySize * uint64_t(item.Children.size());
  for (const auto& child : item.Children) {
    if (!child->Name.empty())
      size.Names += 2 + 2 * uint64_t(child->Name.size());
    Measure(*child, size);
  }
}

class TTreeWriter {
public:
  TTreeWriter(const TResTreeSize& size, uint8_t* out, uint32_t sectionRva, bool outMapsFile)
      : FOut(out), FTotal(size.Total()), FNameCursor(size.Directories),
        FDataCursor(size.NamesEnd()), FRva(sectionRva), FOutMapsFile(outMapsFile) {}

  void Write(const TResItem& item) {
    if (!item.IsDirectory) {
      WriteLeaf(item);
      return;
    }
    if (item.NamedCount > 0xFFFF || item.IdCount > 0xFFFF)
      throw EVexError(EFBIG, "more than 65535 entries in one resource directory");
    const uint64_t tableSize = DirectoryTableSize + DirectoryEntrySize * item.Children.size();
    TByteWriter table(FOut + Take(FDirCursor, tableSize), tableSize);
    WriteRecord(TDirectoryTable{item.Characteristics, item.TimeStamp, item.MajorVersion,
                                item.MinorVersion, uint16_t(item.NamedCount),
                                uint16_t(item.IdCount)},
                table);
    for (const auto& child : item.Children) {
      TDirectoryEntry entry{uint32_t(child->Id),
                            uint32_t(FDirCursor) | (child->IsDirectory ? HighBit : 0)};
      if (!child->Name.empty()) {
        const uint64_t nameSize = 2 + 2 * uint64_t(child->Name.size());
        const uint64_t at = Take(FNameCursor, nameSize);
        entry.NameWord = uint32_t(at) | HighBit;
        TByteWriter name(FOut + at, nameSize);
        name.U16(uint16_t(child->Name.size()));
        for (char16_t unit : child->Name)
          name.U16(uint16_t(unit));
      }
      WriteRecord(entry, table);
      Write(*child);
    }
  }

private:
  // The offset of count bytes at cursor, checked against the measured image; advances cursor.
  uint64_t Take(uint64_t& cursor, uint64_t count) {
    if (cursor > FTotal || count > FTotal - cursor)
      throw EVexError(EINVAL, "resource tree changed between measuring and writing");
    const uint64_t at = cursor;
    cursor += count;
    return at;
  }

  void WriteLeaf(const TResItem& item) {
    TByteWriter entry(FOut + Take(FDirCursor, DataEntrySize), DataEntrySize);
    const uint64_t data = Take(FDataCursor, Align4(item.Size));
    WriteRecord(TDataEntry{uint32_t(FRva + data), item.Size, item.CodePage, item.Reserved}, entry);
    // In windows, each let go once written where out maps the file.
    for (uint64_t done = 0; done < item.Size;) {
      const uint64_t n = std::min<uint64_t>(item.Size - done, LeafWindow);
      uint8_t* to = FOut + data + done;
      switch (item.Source) {
      case rdMapped:
        std::memcpy(to, item.MappedData + done, n);
        break;
      case rdMemory:
        std::memcpy(to, item.Data.data() + done, n);
        break;
      case rdSpool:
        ReadAllAt(item.SpoolFile.Get(), to, n, done);
        break;
      }
      if (FOutMapsFile)
        ReleaseMappedPages(to, n);
      done += n;
    }
  }

  uint8_t* FOut;
  uint64_t FTotal;
  uint64_t FDirCursor = 0;
  uint64_t FNameCursor;
  uint64_t FDataCursor;
  uint32_t FRva;
  bool FOutMapsFile;
};

bool NamedBefore(const TResItem& existing, const std::string& newKey) {
  return CompareOrdinalText(SortKey(existing.Name), newKey) < 0;
}

} // namespace

std::unique_ptr<TResItem> ResTreeParse(TByteView file, const TSectionHeader& section,
                                       std::vector<TFileRange>* parts) {
  TTreeParser parser(file, section, parts);
  // The root is an entry with name word 0 and a directory offset of 0.
  return parser.Entry(0, HighBit, 0);
}

std::unique_ptr<TResItem> NewResDirectory() {
  auto root = std::make_unique<TResItem>();
  root->IsDirectory = true;
  return root;
}

TResItem* FindResDirectory(TResItem& parent, const TResIdent& ident) {
  for (const auto& child : parent.Children) {
    if (!child->IsDirectory)
      continue;
    if (ident.IsName() ? child->Name == ident.Name
                       : child->Name.empty() && child->Id == int32_t(ident.Id))
      return child.get();
  }
  return nullptr;
}

TResItem* FindResLeaf(TResItem& parent, uint16_t language) {
  for (const auto& child : parent.Children)
    if (!child->IsDirectory && child->Id == int32_t(language))
      return child.get();
  return nullptr;
}

TResItem* AddResDirectory(TResItem& parent, const TResIdent& ident) {
  auto item = NewResDirectory();
  auto& children = parent.Children;
  size_t at = 0;
  if (ident.IsName()) {
    if (ident.Name.size() > 0xFFFF)
      throw EVexError(EINVAL, "resource name longer than 65535 characters");
    item->Name = ident.Name;
    const std::string key = SortKey(ident.Name);
    while (at < parent.NamedCount && NamedBefore(*children[at], key))
      ++at;
    ++parent.NamedCount;
  } else {
    item->Id = ident.Id;
    at = parent.NamedCount;
    while (at < children.size() && children[at]->Id < int32_t(ident.Id))
      ++at;
    ++parent.IdCount;
  }
  return children.insert(children.begin() + ptrdiff_t(at), std::move(item))->get();
}

TResItem* AddResLeaf(TResItem& parent, uint16_t language) {
  auto item = std::make_unique<TResItem>();
  item->Id = language;
  auto& children = parent.Children;
  size_t at = parent.NamedCount; // a leaf is a numeric entry: never before a named one
  while (at < children.size() && children[at]->Id < int32_t(language))
    ++at;
  ++parent.IdCount;
  return children.insert(children.begin() + ptrdiff_t(at), std::move(item))->get();
}

void RemoveResChild(TResItem& parent, TResItem* child) {
  for (auto it = parent.Children.begin(); it != parent.Children.end(); ++it) {
    if (it->get() != child)
      continue;
    if (child->Name.empty())
      --parent.IdCount;
    else
      --parent.NamedCount;
    parent.Children.erase(it); // closes the spool files below it
    return;
  }
}

namespace {
// Gives a changed leaf its data: the spool file holding it, or else the bytes in memory.
void SetChangedLeaf(TResItem& leaf, uint16_t language, uint32_t size, TFileHandle spool,
                    std::string data) {
  leaf.SpoolFile = std::move(spool);
  leaf.Data = std::move(data);
  leaf.Source = leaf.SpoolFile.IsOpen() ? rdSpool : rdMemory;
  leaf.Id = language;
  leaf.MappedData = nullptr;
  leaf.Size = size;
  leaf.CodePage = 0;
}
} // namespace

void SetResLeafData(TResItem& leaf, uint16_t language, const void* data, uint32_t size) {
  if (size <= MaxInMemoryResourceData) {
    SetChangedLeaf(leaf, language, size, {}, std::string(static_cast<const char*>(data), size));
    return;
  }
  // Nameless: the handle keeps the data, and neither a failure nor a killed process can
  // leave the file behind.
  TScratchFile file;
  file.CreateNameless(TempFolder(), "res");
  WriteAllAt(file.Handle(), data, size, 0);
  TFileHandle spool(::dup(file.Handle()));
  if (!spool.IsOpen())
    throw EVexError(errno, {});
  SetChangedLeaf(leaf, language, size, std::move(spool), {});
}

void SetResLeafData(TResItem& leaf, uint16_t language, TFileHandle file) {
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0)
    throw EVexError(errno, {});
  if (uint64_t(info.st_size) > 0xFFFFFFFFu)
    throw EVexError(EFBIG, "resource data larger than 4 GiB");
  SetChangedLeaf(leaf, language, uint32_t(info.st_size), std::move(file), {});
}

void SetResLeafData(TResItem& leaf, uint16_t language, std::string data) {
  if (data.size() > 0xFFFFFFFFu)
    throw EVexError(EFBIG, "resource data larger than 4 GiB");
  const auto size = uint32_t(data.size());
  SetChangedLeaf(leaf, language, size, {}, std::move(data));
}

TResTreeSize ResTreeMeasure(const TResItem& root) {
  TResTreeSize size;
  Measure(root, size);
  return size;
}

void ResTreeWrite(const TResItem& root, const TResTreeSize& size, uint8_t* out, uint32_t sectionRva,
                  bool outMapsFile) {
  if (size.Total() > 0xFFFFFFFFu - sectionRva)
    throw EVexError(EFBIG, "the new resource section does not fit a 32-bit image");
  TTreeWriter(size, out, sectionRva, outMapsFile).Write(root);
}
