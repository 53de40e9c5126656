#include "../common/RecordRoundTrip.h"
#include "ResTestSupport.h"

#include "common/u_Files.h"
#include "resources/u_ResDirectoryFormat.h"
#include "resources/vexResTree.h"
#include "resources/vexStrings.h"
#include "resources/vexTools.h"

#include <unistd.h>

TEST(vexTools, AlignUpIsUnsigned32Bit) {
  EXPECT_EQ(AlignUp(0, 0x200), 0u);
  EXPECT_EQ(AlignUp(1, 0x200), 0x200u);
  EXPECT_EQ(AlignUp(0x200, 0x200), 0x200u);
  EXPECT_EQ(AlignUp(0x201, 0x1000), 0x1000u);
  EXPECT_EQ(AlignUp(0xFFFFFFFFu, 0x200), 0u) << "wraps like the 32-bit original";
}

TEST(ResDirectoryFormat, EachRecordIsWrittenAndReadAsTheFormatLaysItOut) {
  using namespace ResFormat;
  ExpectRecord(TDirectoryTable{0x01020304, 0x05060708, 0x090A, 0x0B0C, 0x0D0E, 0x0F10},
               std::string_view("\x04\x03\x02\x01\x08\x07\x06\x05\x0A\x09\x0C\x0B\x0E\x0D\x10\x0F",
                                DirectoryTableSize),
               "NumberOfIdEntries");
  ExpectRecord(TDirectoryEntry{HighBit | 0x20, 0x01020304},
               std::string_view("\x20\0\0\x80\x04\x03\x02\x01", DirectoryEntrySize),
               "OffsetToData");
  ExpectRecord(TDataEntry{0x1000, 0x0A0B0C0D, 1252, 7},
               std::string_view("\0\x10\0\0\x0D\x0C\x0B\x0A\xE4\x04\0\0\x07\0\0\0", DataEntrySize),
               "Reserved");
}

TEST(vexStrings, OrdinalComparisonOfBytes) {
  EXPECT_LT(CompareOrdinalText("B", "a"), 0) << "upper case sorts first";
  EXPECT_LT(CompareOrdinalText("ab", "abc"), 0);
  EXPECT_GT(CompareOrdinalText("abc", "ab"), 0);
  EXPECT_EQ(CompareOrdinalText("RCDATA", "RCDATA"), 0);
  EXPECT_GT(CompareOrdinalText("\xE9", "z"), 0) << "bytes compare unsigned";
}

TEST(vexTools, HeadersOfSamples) {
  const std::string typical = LoadFileToString(SamplePath("samples/typical.exe"));
  const TImageHeaders h = ReadImageHeaders(ByteViewOf(typical));
  ASSERT_EQ(h.Sections.size(), 9u);
  EXPECT_EQ(h.ResourceSection(), 8);
  EXPECT_EQ(h.Sections[8].Name, ".rsrc");
  EXPECT_EQ(h.FileAlignment, 0x200u);
  EXPECT_EQ(h.SectionAlignment, 0x1000u);
  EXPECT_EQ(h.Directories[ddResource].VirtualAddress, 0x13000u);
  EXPECT_EQ(GetImageNtHeaders(ByteViewOf(typical)), int64_t(h.NtOffset));
  EXPECT_EQ(GetImageNtHeaders(ByteViewOf(std::string("MZ"))), -1);
}

TEST(vexTools, StoredHeadersReadBackFieldByField) {
  std::string bytes = LoadFileToString(SamplePath("samples/typical.exe"));
  const std::string original = bytes;
  auto* data = reinterpret_cast<uint8_t*>(bytes.data());
  TImageHeaders h = ReadImageHeaders(ByteViewOf(bytes));
  StoreImageHeaders(h, data, bytes.size());
  EXPECT_EQ(bytes, original) << "stored where they were read";
  // Every correctable field a value of its own, so that two fields sharing a place show.
  uint32_t next = 0x10000001;
  for (uint32_t* field :
       {&h.PointerToSymbolTable, &h.SizeOfInitializedData, &h.SizeOfImage, &h.CheckSum})
    *field = next++;
  for (uint32_t i = 0; i < h.DirectoryCount; ++i) {
    h.Directories[i].VirtualAddress = next++;
    h.Directories[i].Size = next++;
  }
  for (TSectionHeader& section : h.Sections)
    for (uint32_t* field :
         {&section.VirtualSize, &section.VirtualAddress, &section.SizeOfRawData,
          &section.PointerToRawData, &section.PointerToRelocations, &section.PointerToLinenumbers})
      *field = next++;
  StoreImageHeaders(h, data, bytes.size());
  const TImageHeaders back = ReadImageHeaders(ByteViewOf(bytes));
  EXPECT_EQ(back.PointerToSymbolTable, h.PointerToSymbolTable);
  EXPECT_EQ(back.SizeOfInitializedData, h.SizeOfInitializedData);
  EXPECT_EQ(back.SizeOfImage, h.SizeOfImage);
  EXPECT_EQ(back.CheckSum, h.CheckSum);
  EXPECT_EQ(Get32(bytes, h.CheckSumOffset()), h.CheckSum);
  for (uint32_t i = 0; i < h.DirectoryCount; ++i) {
    EXPECT_EQ(back.Directories[i].VirtualAddress, h.Directories[i].VirtualAddress) << i;
    EXPECT_EQ(back.Directories[i].Size, h.Directories[i].Size) << i;
  }
  for (size_t i = 0; i < h.Sections.size(); ++i) {
    EXPECT_EQ(back.Sections[i].Name, h.Sections[i].Name);
    EXPECT_EQ(back.Sections[i].VirtualSize, h.Sections[i].VirtualSize);
    EXPECT_EQ(back.Sections[i].VirtualAddress, h.Sections[i].VirtualAddress);
    EXPECT_EQ(back.Sections[i].SizeOfRawData, h.Sections[i].SizeOfRawData);
    EXPECT_EQ(back.Sections[i].PointerToRawData, h.Sections[i].PointerToRawData);
    EXPECT_EQ(back.Sections[i].PointerToRelocations, h.Sections[i].PointerToRelocations);
    EXPECT_EQ(back.Sections[i].PointerToLinenumbers, h.Sections[i].PointerToLinenumbers);
  }
}

TEST(vexTools, ChecksumMatchesTheStoredStandardChecksum) {
  for (const char* name : {"typical.exe", "rsrc_not_last.exe", "icons4.exe"}) {
    std::string bytes = LoadFileToString(SamplePath(std::string("samples/") + name));
    const TImageHeaders h = ReadImageHeaders(ByteViewOf(bytes));
    const uint32_t stored = Get32(bytes, h.CheckSumOffset());
    Put32(bytes, h.CheckSumOffset(), 0);
    TImageChecksum whole;
    whole.Add(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(whole.Finish(bytes.size()), stored) << name;
    // Odd-sized pieces carry a byte over to the next piece.
    TImageChecksum pieces;
    for (size_t at = 0; at < bytes.size(); at += 777)
      pieces.Add(reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                 std::min<size_t>(777, bytes.size() - at));
    EXPECT_EQ(pieces.Finish(bytes.size()), stored) << name;
  }
}

TEST(vexTools, ChecksumOfAnOddLength) {
  // Words 0x0201 and 0x0003 (the odd last byte has a high byte of 0), plus the length 3.
  const uint8_t bytes[] = {1, 2, 3};
  TImageChecksum sum;
  sum.Add(bytes, 3);
  EXPECT_EQ(sum.Finish(3), 0x0204u + 3);
  // Carries fold back: 0xFFFF + 0x0002 = 0x10001 -> 0x0002.
  const uint8_t carry[] = {0xFF, 0xFF, 0x02, 0x00};
  TImageChecksum folded;
  folded.Add(carry, 4);
  EXPECT_EQ(folded.Finish(4), 0x0002u + 4);
}

TEST(vexTools, ChecksumOfPiecesCountsEachByteAsTheFileHoldsIt) {
  const std::string original = LoadFileToString(SamplePath("samples/rsrc_not_last.exe"));
  const TImageHeaders h = ReadImageHeaders(ByteViewOf(original));
  const auto* bytes = reinterpret_cast<const uint8_t*>(original.data());
  const uint64_t length = original.size() - 1; // odd: the last word has a high byte of 0
  // Pieces out of order, at odd offsets, one of zeros; a patch reaching across a piece's end,
  // one on the CheckSum field, one in the last word.
  const uint64_t cut = 0x401, zeros = 0x803;
  const std::vector<TFilePiece> pieces = {{cut, bytes + cut, zeros - cut},
                                          {zeros + 16, bytes + zeros + 16, length - zeros - 16},
                                          {0, bytes, cut},
                                          {zeros, nullptr, 16}};
  const std::vector<TFilePatch> patches = {
      {h.CheckSumOffset() - 1, 0x11223344}, {cut - 2, 0xA1B2C3D4}, {length - 4, 0xFFFFFFFF}};
  std::string file = original.substr(0, length);
  file.replace(zeros, 16, 16, '\0');
  for (const TFilePatch& patch : patches)
    Put32(file, patch.Offset, patch.Value);
  Put32(file, h.CheckSumOffset(), 0);
  TImageChecksum whole;
  whole.Add(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  EXPECT_EQ(ImageChecksumOfPieces(pieces, patches, length, h.CheckSumOffset()),
            whole.Finish(length));
  EXPECT_THROW(ImageChecksumOfPieces(pieces, patches, length + 1, h.CheckSumOffset()), EVexError)
      << "a gap at the end";
  EXPECT_THROW(ImageChecksumOfPieces(pieces, {{length - 3, 0}}, length, h.CheckSumOffset()),
               EVexError)
      << "a patch past the end";
}
