#include "resources/u_IconFormat.h"

namespace {
// The entry at offset at; a cut one names the field that runs past the end.
template <typename Entry> Entry ReadEntry(TByteView bytes, uint64_t at) {
  TByteCursor cursor(bytes);
  cursor.Skip(at, "icon entry");
  return ReadRecord<Entry>(cursor);
}
} // namespace

TIconHeader ReadIconHeader(TByteView bytes) {
  return ReadRecord<TIconHeader>(bytes);
}

TIconEntry ReadIconFileEntry(TByteView bytes, uint64_t index) {
  return ReadEntry<TIconFileEntry>(bytes, IconHeaderSize + index * IconFileEntrySize);
}

TIconEntry ReadIconGroupEntry(TByteView bytes, uint64_t index) {
  const auto group = ReadEntry<TIconGroupEntry>(bytes, IconHeaderSize + index * IconGroupEntrySize);
  TIconEntry entry = group;
  entry.Place = group.Name;
  return entry;
}

void WriteIconHeader(std::string& out, const TIconHeader& header) {
  WriteRecord(header, out);
}

void WriteIconFileEntry(std::string& out, const TIconEntry& entry) {
  WriteRecord(TIconFileEntry{entry}, out);
}

void WriteIconGroupEntry(std::string& out, const TIconEntry& entry) {
  WriteRecord(TIconGroupEntry{entry, uint16_t(entry.Place)}, out);
}
