#pragma once
// The records of a resource section's directory, each described once for reading (through
// TByteView) and writing: ReadRecord and WriteRecord.

#include "common/u_ByteView.h"

#include <cstdint>

namespace ResFormat {

inline constexpr uint64_t DirectoryTableSize = 16;
inline constexpr uint64_t DirectoryEntrySize = 8;
inline constexpr uint64_t DataEntrySize = 16;
// In an entry's name word: the rest is the offset of a name; in its offset word: the rest is
// the offset of a directory table, not of a data entry.
inline constexpr uint32_t HighBit = 0x80000000u;

// A directory table; its entries follow it, the named ones first.
struct TDirectoryTable {
  uint32_t Characteristics = 0, TimeStamp = 0;
  uint16_t MajorVersion = 0, MinorVersion = 0, NamedCount = 0, IdCount = 0;
  bool operator==(const TDirectoryTable&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.Characteristics, "Characteristics");
    f.Field(r.TimeStamp, "TimeDateStamp");
    f.Field(r.MajorVersion, "MajorVersion");
    f.Field(r.MinorVersion, "MinorVersion");
    f.Field(r.NamedCount, "NumberOfNamedEntries");
    f.Field(r.IdCount, "NumberOfIdEntries");
  }
};

struct TDirectoryEntry {
  uint32_t NameWord = 0;   // an id, or HighBit and the offset of the name
  uint32_t OffsetWord = 0; // a data entry's offset, or HighBit and a table's
  bool operator==(const TDirectoryEntry&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.NameWord, "Name");
    f.Field(r.OffsetWord, "OffsetToData");
  }
};

struct TDataEntry {
  uint32_t Rva = 0, Size = 0, CodePage = 0, Reserved = 0;
  bool operator==(const TDataEntry&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.Rva, "OffsetToData");
    f.Field(r.Size, "Size");
    f.Field(r.CodePage, "CodePage");
    f.Field(r.Reserved, "Reserved");
  }
};

} // namespace ResFormat
