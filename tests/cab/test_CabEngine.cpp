#include "../common/RecordRoundTrip.h"
#include "CabTestSupport.h"

#include "cab/CabConsts.h"
#include "cab/u_CabFormat.h"
#include "cab/u_CabPreviousFolder.h"
#include "cab/u_CabReader.h"
#include "common/u_ByteView.h"
#include "common/u_Streams.h"

#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <optional>
#include <string_view>
#include <tuple>

namespace {

constexpr size_t Block = 32768;
constexpr auto Mszip = CabFormat::TCabCompression::Mszip;
constexpr auto Stored = CabFormat::TCabCompression::Stored;

void PutU16At(std::string& bytes, size_t at, uint16_t value) {
  TByteWriter(reinterpret_cast<uint8_t*>(bytes.data()) + at, 2).U16(value);
}
void PutU32At(std::string& bytes, size_t at, uint32_t value) {
  TByteWriter(reinterpret_cast<uint8_t*>(bytes.data()) + at, 4).U32(value);
}

} // namespace

TEST(CabChecksum, FoldsTrailingBytesHighByteFirst) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(CabFormat::Checksum(bytes, 4, 0), 0x04030201u);
  EXPECT_EQ(CabFormat::Checksum(bytes, 7, 0), 0x04030201u ^ 0x00050607u);
  EXPECT_EQ(CabFormat::Checksum(bytes, 5, 0x10), 0x04030201u ^ 0x05u ^ 0x10u);
}

TEST(CabFormat, EachRecordIsWrittenAndReadAsTheFormatLaysItOut) {
  using namespace CabFormat;
  ExpectRecord(THeaderFields{Signature, 1000, 44, 3, 1, 2, 3, FlagReservePresent, 0x1234, 7},
               std::string_view("MSCF\0\0\0\0\xE8\x03\0\0\0\0\0\0\x2C\0\0\0\0\0\0\0"
                                "\x03\x01\x02\0\x03\0\x04\0\x34\x12\x07\0",
                                HeaderSize),
               "iCabinet");
  ExpectRecord(TReserveSizes{0x1234, 5, 6}, std::string_view("\x34\x12\x05\x06", 4), "cbCFData");
  ExpectRecord(TFolderFields{0x01020304, 0x0506, 1},
               std::string_view("\x04\x03\x02\x01\x06\x05\x01\0", FolderSize), "typeCompress");
  ExpectRecord(TFileFields{0x0A0B0C0D, 0x01020304, 0x0506, 0x5A21, 0x6000, 0x21, "Info.MFS"},
               std::string_view("\x0D\x0C\x0B\x0A\x04\x03\x02\x01\x06\x05\x21\x5A\0\x60"
                                "\x21\0Info.MFS\0",
                                FileSize + 9),
               "szName");
  ExpectRecord(TDataFields{0xA1B2C3D4, 0x1234, 0x8000},
               std::string_view("\xD4\xC3\xB2\xA1\x34\x12\0\x80", DataSize), "cbUncomp");
}

TEST(CabEngine, RoundTripsFilesOfEverySizeWithTheirDatesAndAttributes) {
  std::vector<TMember> members = {
      {"empty.txt", ""},
      {"one.bin", "x"},
      {"block.bin", TextData(Block, 1)},
      {"block-and-one.bin", TextData(Block + 1, 2)},
      {"mixed.bin", MixedData(3'000'000, 3)},
      {"Capital Name.TXT", "tail", {0x1234, 0x5678, 0x21}},
  };
  for (const auto type : {Mszip, Stored}) {
    SCOPED_TRACE(int(type));
    const auto files = Unpack(Pack(members, {type}));
    ASSERT_EQ(files.size(), members.size());
    for (const auto& member : members) {
      const TExtracted& file = files.at(member.name);
      EXPECT_EQ(file.content, member.content) << member.name;
      EXPECT_EQ(file.date, member.info.date);
      EXPECT_EQ(file.time, member.info.time);
      EXPECT_EQ(file.attribs, member.info.attribs);
    }
  }
}

TEST(CabEngine, FolderBlocksHoldExactly32KiBButTheLastAndIncompressibleBlocksAreStored) {
  const std::string random = RandomData(2 * Block + 100, 7);
  const std::string cabinet =
      Pack({{"a", random.substr(0, Block + 50)}, {"b", random.substr(Block + 50)}});
  const TCabLayout layout = ReadLayout(cabinet);
  ASSERT_EQ(layout.folders, 1);
  ASSERT_EQ(layout.dataUncompressed.size(), 3u);
  EXPECT_EQ(layout.dataUncompressed[0], Block);
  EXPECT_EQ(layout.dataUncompressed[1], Block);
  EXPECT_EQ(layout.dataUncompressed[2], 100);
  // "CK", a stored block header, the bytes: random data never grows by more than that.
  EXPECT_EQ(layout.dataCompressed[0], Block + 7);
  EXPECT_EQ(layout.dataCompressed[2], 100 + 7);
  EXPECT_EQ(cabinet.size(), layout.dataOffsets[2] + 8 + 107);

  const TCabLayout text = ReadLayout(Pack({{"text", TextData(2 * Block, 8)}}));
  ASSERT_EQ(text.dataCompressed.size(), 2u);
  EXPECT_LT(text.dataCompressed[0], Block * 7 / 10) << "text is deflated";

  // Random byte by byte, yet every block repeats itself: it must shrink as gcab's does
  // (530,180 bytes for 1 MiB of one 16 KiB random chunk), within 1 %.
  const std::string chunk = RandomData(Block / 2, 9);
  std::string repeated;
  while (repeated.size() < 32 * Block)
    repeated += chunk;
  EXPECT_LE(Pack({{"repeated", repeated}}).size(), 535'481u);

  // Random over the whole block, yet each half uses only half of the byte values: deflate's
  // table per stretch saves an eighth, so the block must not be stored.
  std::string halves = RandomData(32 * Block, 10);
  for (size_t i = 0; i < halves.size(); ++i)
    halves[i] = char(i % Block < Block / 2 ? halves[i] & 0x7F : halves[i] | 0x80);
  EXPECT_LT(Pack({{"halves", halves}}).size(), halves.size() * 9 / 10);
}

TEST(CabEngine, ReadsMszipBlocksThatReferToTheFolderHistory) {
  // Repeats 100 KiB apart fall outside one block but inside the previous block's window. Big
  // enough (over 64 blocks) to be decoded on a second thread.
  std::string data = TextData(20'000, 11);
  while (data.size() < 2'300'000)
    data += data.substr(data.size() - 20'000, 20'000) + TextData(1'000, uint32_t(data.size()));
  TCabBuilder builder;
  builder.AddFileFolder("history.txt", data, true);
  builder.folders[0].blocks[3].stored = true;
  // A second folder of short blocks: the history then spans several of them.
  TBuiltFolder shortBlocks;
  size_t at = 0;
  for (size_t size : {5000, 20000, 32768, 1000, 700, 32768, 9000, 32768}) {
    shortBlocks.blocks.push_back({data.substr(at, size), true, false, {}});
    at += size;
  }
  builder.folders.push_back(shortBlocks);
  builder.files.push_back({"short-blocks.txt", uint32_t(at), 0, 1});
  // A third folder mixing blocks that stand alone with blocks that refer back.
  builder.AddFileFolder("mixed.txt", data, true);
  for (size_t i = 0; i < builder.folders[2].blocks.size(); i += 3)
    builder.folders[2].blocks[i].useHistory = false;
  const std::string cabinet = builder.Build();
  EXPECT_LT(cabinet.size(), data.size() / 4);
  const auto files = Unpack(cabinet);
  EXPECT_EQ(files.at("history.txt").content, data);
  EXPECT_EQ(files.at("short-blocks.txt").content, data.substr(0, at));
  EXPECT_EQ(files.at("mixed.txt").content, data);
}

TEST(CabEngine, WriterTakesOverOnlyPreviousBlocksThatDecodeToItsBytes) {
  const std::string data = TextData(5 * Block + 1000, 21);
  // Stored blocks: one taken over is told apart from one deflated again.
  TCabBuilder stored;
  stored.AddFileFolder("a", data, false);
  for (TBuiltBlock& block : stored.folders[0].blocks)
    block.stored = true;
  TCabBuilder notMszip = stored;
  notMszip.folders[0].type = Stored;
  std::string noSignature = stored.Build();
  noSignature[0] = 'X';
  // Block at opens with the second half of the block before, written as a reference back into
  // it; the writer encodes 64 blocks at a time, so block 64's history comes from the batch
  // before.
  auto repeating = [](std::string bytes, size_t at) {
    bytes.replace(at * Block, Block / 2, bytes, at * Block - Block / 2, Block / 2);
    return bytes;
  };
  const std::string repeats2 = repeating(data, 2);
  const std::string repeats64 = repeating(TextData(66 * Block, 22), 64);
  // Blocks that decode to the right bytes, but that zlib and other readers refuse.
  auto laxBlock = [&stored](size_t at, uint8_t header, const std::string& after) {
    TCabBuilder lax = stored;
    const std::string& bytes = lax.folders[0].blocks[at].data;
    std::string encoded = "CK";
    encoded += char(header);
    TByteWriter lengths(encoded);
    lengths.U16(uint16_t(bytes.size()));
    lengths.U16(uint16_t(~bytes.size()));
    lax.folders[0].blocks[at].encoded = encoded + bytes + after;
    return lax.Build();
  };
  const uint8_t storedNotFinal = 0x00, storedFinal = 0x01;
  TCabBuilder history2, history64;
  history2.AddFileFolder("a", repeats2, true);
  history64.AddFileFolder("a", repeats64, true);
  auto changed = [](std::string bytes, size_t at) {
    bytes[at] ^= 1;
    return bytes;
  };
  auto takenBut = [](size_t count, std::vector<size_t> fresh) {
    std::vector<bool> taken(count, true);
    for (size_t i : fresh)
      taken[i] = false;
    return taken;
  };
  // What LineUpEnds is told (the new data's size without padding, where the old data's tail
  // starts in it) and the padding it must give; the case's data holds that padding.
  struct TLineUp {
    uint64_t newSize;
    uint64_t changeEnd;
    uint64_t padding;
  };
  const std::string inserted = TextData(Block, 23);
  const std::string grown = data.substr(0, Block + 500) + inserted + data.substr(Block + 500);
  const std::string movedFrom2 =
      repeats2.substr(0, 2 * Block) + inserted + repeats2.substr(2 * Block);
  struct TCase {
    const char* name;
    std::string previous;
    std::string data;
    std::vector<bool> taken; // per block of the new cabinet
    std::optional<TLineUp> lineUp = std::nullopt;
  };
  const std::vector<TCase> cases = {
      {"unchanged", stored.Build(), data, takenBut(6, {})},
      {"one block changed", stored.Build(), changed(data, 2 * Block + 5), takenBut(6, {2})},
      {"last block longer", stored.Build(), data + "x", takenBut(6, {5})},
      // The block after the change still decodes, but against it to other bytes.
      {"history changed", history2.Build(), changed(repeats2, Block + Block / 2 + 5),
       takenBut(6, {1, 2})},
      {"history in the batch before", history64.Build(), repeats64, takenBut(66, {})},
      {"history of the batch before changed", history64.Build(),
       changed(repeats64, 63 * Block + Block / 2 + 5), takenBut(66, {63, 64})},
      {"not MSZIP", notMszip.Build(), data, takenBut(6, {0, 1, 2, 3, 4, 5})},
      {"no final-block bit", laxBlock(1, storedNotFinal, ""), data, takenBut(6, {1})},
      {"bytes after the final block", laxBlock(3, storedFinal, "xy"), data, takenBut(6, {3})},
      {"not a cabinet", noSignature, data, takenBut(6, {0, 1, 2, 3, 4, 5})},
      // Behind a change of length the blocks are found at their new place.
      {"a block inserted", stored.Build(), grown, takenBut(7, {1, 2}),
       TLineUp{grown.size(), 2 * Block + 500, 0}},
      {"fewer bytes inserted, padded to a block", stored.Build(), grown, takenBut(7, {1, 2}),
       TLineUp{grown.size() - (Block - 1000), Block + 1500, Block - 1000}},
      {"a block removed", stored.Build(),
       data.substr(0, Block + 500) + data.substr(2 * Block + 500), takenBut(5, {1}),
       TLineUp{4 * Block + 1000, Block + 500, 0}},
      // Block 3 is block 2 moved, but refers back into what is now the inserted block; the
      // blocks behind it find their history moved with them.
      {"moved away from its history", history2.Build(), movedFrom2, takenBut(7, {2, 3}),
       TLineUp{movedFrom2.size(), 3 * Block, 0}},
      {"no whole block behind the change", stored.Build(),
       data.substr(0, 5 * Block + 500) + "0123456789" + data.substr(5 * Block + 500),
       takenBut(6, {5}), TLineUp{5 * Block + 1010, 5 * Block + 510, 0}},
  };
  for (const TCase& test : cases) {
    SCOPED_TRACE(test.name);
    TCabPreviousFolder previous(
        [&test](uint64_t offset, void* into, size_t count) {
          if (offset > test.previous.size() || count > test.previous.size() - offset)
            return false;
          std::memcpy(into, test.previous.data() + offset, count);
          return true;
        },
        test.previous.size());
    if (test.lineUp) {
      EXPECT_EQ(previous.LineUpEnds(test.lineUp->newSize, test.lineUp->changeEnd),
                test.lineUp->padding);
    }
    const std::string cabinet = Pack({{"a", test.data}}, {Mszip, 0x7FFFFFFF, &previous});
    EXPECT_EQ(Unpack(cabinet).at("a").content, test.data);
    std::string withSignature = test.previous;
    withSignature.replace(0, 4, "MSCF");
    const TCabLayout before = ReadLayout(withSignature);
    const TCabLayout after = ReadLayout(cabinet);
    ASSERT_EQ(after.dataOffsets.size(), test.taken.size());
    size_t previousSize = 0;
    for (const uint16_t size : before.dataUncompressed)
      previousSize += size;
    // Behind the change a block is taken from the block it was, whole blocks away.
    const ptrdiff_t movedBlocks =
        (ptrdiff_t(test.data.size()) - ptrdiff_t(previousSize)) / ptrdiff_t(Block);
    for (size_t i = 0; i < test.taken.size(); ++i) {
      const bool behind = test.lineUp && i * Block >= test.lineUp->changeEnd + test.lineUp->padding;
      const size_t from = behind ? size_t(ptrdiff_t(i) - movedBlocks) : i;
      const std::string_view old =
          from < before.dataOffsets.size()
              ? std::string_view(test.previous.data() + before.dataOffsets[from] + 8,
                                 before.dataCompressed[from])
              : std::string_view();
      const std::string_view now(cabinet.data() + after.dataOffsets[i] + 8,
                                 after.dataCompressed[i]);
      EXPECT_EQ(old == now, test.taken[i]) << "block " << i;
    }
  }
}

TEST(CabEngine, AFileEndingBeforeADamagedBlockIsExtractedWhole) {
  // The folder decodes on a second thread, which reads the damaged block before it is needed.
  const std::string first = TextData(100'000, 12), second = TextData(2'200'000, 13);
  std::string cabinet = Pack({{"first", first}, {"second", second}});
  const TCabLayout layout = ReadLayout(cabinet);
  cabinet[layout.dataOffsets[6] + 30] ^= 0x10;
  std::map<std::string, TExtracted> files;
  EXPECT_EQ(UnpackInto(cabinet, files), crcCorrupt);
  ASSERT_EQ(files.count("first"), 1u);
  EXPECT_EQ(files.at("first").content, first);
  EXPECT_EQ(files.count("second"), 0u);
}

TEST(CabEngine, ReadsReservedAreasAndSeveralFilesPerFolderInAnyOrder) {
  TCabBuilder builder;
  const std::string data = MixedData(200'000, 5);
  builder.AddFileFolder("whole", data, true);
  builder.headerReserve = 20;
  builder.folderReserve = 3;
  builder.dataReserve = 5;
  builder.files.push_back({"late", 1000, 150'000, 0});
  builder.files.push_back({"early", 1000, 10, 0});
  builder.files.push_back({"rest", 50'000 - 1010, 1010, 0});
  builder.files.erase(builder.files.begin()); // "whole" would overlap them all
  const auto files = Unpack(builder.Build());
  EXPECT_EQ(files.at("late").content, data.substr(150'000, 1000));
  EXPECT_EQ(files.at("early").content, data.substr(10, 1000));
  EXPECT_EQ(files.at("rest").content, data.substr(1010, 50'000 - 1010));
  // Overlapping files would cost their folder once each: the cabinet is damaged.
  builder.files.push_back({"whole", 200'000, 0, 0});
  EXPECT_EQ(UnpackError(builder.Build()), crcCorrupt);
}

// 1600 files listed from the last offset to the first, over a folder of 16000 small blocks:
// each would decode the folder again from its start. Read in offset order it decodes once.
TEST(CabEngine, FilesListedBackwardsDecodeTheirFolderOnce) {
  constexpr uint32_t files = 1600, blocksPerFile = 10, blockSize = 40;
  TCabBuilder builder;
  TBuiltFolder folder;
  std::string data;
  for (uint32_t b = 0; b < files * blocksPerFile; ++b) {
    const std::string block(blockSize, char('a' + b % 26));
    folder.blocks.push_back({block, false, true, {}});
    data += block;
  }
  builder.folders.push_back(folder);
  const uint32_t fileSize = blocksPerFile * blockSize;
  for (uint32_t i = files; i-- > 0;)
    builder.files.push_back({"info.mfs", fileSize, i * fileSize, 0});
  TMemoryStreams streams;
  std::map<std::string, TExtracted> extracted;
  ASSERT_EQ(UnpackInto(builder.Build(), extracted, &streams), 0);
  // Offered in offset order, the one at the highest offset is written last.
  EXPECT_EQ(extracted.at("info.mfs").content, data.substr((files - 1) * fileSize));
  EXPECT_LT(streams.seeks.size(), 10u) << "the folder's data is sought once, not once a file";
}

TEST(CabEngine, SeeksOnlyFromTheBeginning) {
  TMemoryStreams streams;
  std::map<std::string, TExtracted> files;
  ASSERT_EQ(UnpackInto(Pack({{"a", MixedData(500'000, 1)}, {"b", "b"}}), files, &streams), 0);
  ASSERT_FALSE(streams.seeks.empty());
  for (const auto& [distance, origin] : streams.seeks)
    EXPECT_TRUE(origin == soBeginning || distance == 0) << distance << "/" << origin;
}

TEST(CabEngine, WriterSpoolsInPiecesEachRemovedOnceInTheCabinet) {
  // 20 MB that do not compress spool into three pieces; the cabinet never sits beside all of
  // them, and the pieces go into it in order.
  const std::string big = RandomData(20'000'000, 14);
  for (const auto& [content, pieces] : {std::pair<std::string, int>{"abc", 1}, {big, 3}}) {
    TMemoryStreams streams;
    const std::string cabinet = Pack({{"a", content}}, {}, &streams);
    EXPECT_EQ(streams.piecesMade, pieces);
    EXPECT_TRUE(streams.live.empty()) << "a piece was left";
    EXPECT_LT(streams.peakBytes, content.size() + 10'000'000);
    EXPECT_EQ(Unpack(cabinet).at("a").content, content);
  }
}

TEST(CabEngine, FolderThresholdStartsNewFolders) {
  const std::vector<TMember> members = {
      {"a", RandomData(5000, 1)}, {"b", RandomData(5000, 2)}, {"c", "c"}};
  const std::string cabinet = Pack(members, {Mszip, 4000});
  EXPECT_EQ(ReadLayout(cabinet).folders, 3);
  const auto files = Unpack(cabinet);
  EXPECT_EQ(files.at("b").content, members[1].content);
  EXPECT_EQ(files.at("c").content, "c");
}

// Each failing step gives its code and the words of its cause, and leaves no spool piece.
TEST(CabEngineWriterErrors, EachFailingStepGivesItsCode) {
  struct TCase {
    const char* name;
    void (*arrange)(TMemoryStreams&);
    int32_t code;
    const char* cause;
  };
  const TCase cases[] = {
      {"read failure", [](TMemoryStreams& s) { s.readBudget = 10; }, cwcReadSource,
       "Failure reading file to be stored in cabinet [0x0002].\r\nthe budget is spent"},
      {"no spool piece", [](TMemoryStreams& s) { s.failSpool = true; }, cwcTempFile,
       "Could not create a temporary file [0x0004].\r\nno piece to be had"},
      {"spool write", [](TMemoryStreams& s) { s.writeBudget = 100; }, cwcTempFile,
       "Could not create a temporary file [0x0004].\r\nthe budget is spent"},
      {"cabinet file", [](TMemoryStreams& s) { s.failCabinet = true; }, cwcCabinetFile,
       "Could not create cabinet file [0x0006].\r\nno room for the cabinet"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TMemoryStreams streams;
    c.arrange(streams);
    try {
      Pack({{"a", TextData(100'000, 1)}}, {}, &streams);
      ADD_FAILURE() << "nothing raised";
    } catch (const EMFSCabSystemError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(e.Message(), c.cause);
    }
    EXPECT_TRUE(streams.live.empty()) << "spool piece left behind";
  }
}

TEST(CabEngineWriterErrors, OverlongNames) {
  try {
    Pack({{std::string(256, 'n'), "a"}});
    ADD_FAILURE() << "nothing raised";
  } catch (const EMFSCabSystemError& e) {
    EXPECT_EQ(e.ErrorCode(), cwcFormatLimit);
    EXPECT_EQ(e.Message(), "FCI error [0x0009]");
  }
  EXPECT_EQ(Unpack(Pack({{std::string(255, 'n'), "a"}})).size(), 1u);
}

TEST(CabEngineReaderErrors, NotACabinetAndWrongVersion) {
  EXPECT_EQ(UnpackError("MSCX" + std::string(100, '\0')), crcNotACabinet);
  EXPECT_EQ(UnpackError("MSCF"), crcNotACabinet);
  std::string cabinet = Pack({{"a", "abc"}});
  cabinet[24] = 4;
  EXPECT_EQ(UnpackError(cabinet), crcUnknownVersion);
}

TEST(CabEngine, ReadsTheHeaderAndTables) {
  const std::string bytes = Pack({{"a", "abc"}, {"b", "d"}});
  TByteViewStream packed(bytes);
  const TCabReader reader(packed);
  EXPECT_EQ(reader.Header().files, 2);
  EXPECT_EQ(reader.Header().folders, 1);
  EXPECT_EQ(reader.Header().flags, 0);
  ASSERT_EQ(reader.Members().size(), 2u);
  EXPECT_EQ(reader.Members()[1].name, "b");
  EXPECT_EQ(reader.Members()[1].offset, 3u);
  TCabBuilder spanned;
  spanned.AddFileFolder("x", "x", true);
  spanned.nextCabinet = "next.cab";
  const std::string cabinet = spanned.Build();
  TByteViewStream spannedStream(cabinet);
  const TCabReader spannedReader(spannedStream);
  EXPECT_EQ(spannedReader.Header().cabinetSize, cabinet.size());
  EXPECT_TRUE(spannedReader.Header().flags & CabFormat::FlagNextCabinet);
}

TEST(CabEngineReaderErrors, EveryTruncationFails) {
  // Also a folder big enough to be decoded on a second thread.
  for (const size_t size : {100'000, 2'200'000}) {
    const std::string cabinet = Pack({{"a", MixedData(size, 2)}, {"b", "bb"}});
    for (size_t cut = 0; cut < cabinet.size(); cut += (cut < 200 ? 1 : 997 * (size / 100'000))) {
      const int32_t code = UnpackError(cabinet.substr(0, cut));
      EXPECT_TRUE(code == crcNotACabinet || code == crcCorrupt)
          << "cut at " << cut << " gave " << code;
    }
  }
  // A table cut short names the field it lacks.
  const std::string cabinet = Pack({{"a", "abc"}});
  std::map<std::string, TExtracted> files;
  std::string message;
  EXPECT_EQ(
      UnpackInto(cabinet.substr(0, ReadLayout(cabinet).filesOffset + 6), files, nullptr, &message),
      crcCorrupt);
  EXPECT_EQ(message.rfind("Cabinet file is corrupt [0x0004].\r\nuoffFolderStart at offset", 0), 0u)
      << message;
}

TEST(CabEngineReaderErrors, DamagedBlocksAndLyingSizesAreCorrupt) {
  const std::string cabinet = Pack({{"a", TextData(100'000, 4)}});
  const TCabLayout layout = ReadLayout(cabinet);
  const size_t block = layout.dataOffsets[1];

  std::string flipped = cabinet;
  flipped[block + 20] ^= 0x40;
  EXPECT_EQ(UnpackError(flipped), crcCorrupt) << "checksum";

  std::string noChecksum = flipped;
  PutU32At(noChecksum, block, 0);
  const int32_t unchecked = UnpackError(noChecksum);
  EXPECT_TRUE(unchecked == crcDecompressing || unchecked == 0) << unchecked;

  std::string longer = cabinet;
  PutU32At(longer, layout.filesOffset, 100'001);
  EXPECT_EQ(UnpackError(longer), crcCorrupt) << "file longer than its folder";

  std::string farOffset = cabinet;
  PutU32At(farOffset, layout.filesOffset + 4, 0xFFFFFFF0);
  EXPECT_EQ(UnpackError(farOffset), crcCorrupt) << "offset beyond the folder";

  std::string badFolder = cabinet;
  PutU16At(badFolder, layout.filesOffset + 8, 3);
  EXPECT_EQ(UnpackError(badFolder), crcCorrupt) << "folder index";

  std::string blockOutside = cabinet;
  PutU32At(blockOutside, layout.folderOffsets[0], 0x7FFFFF00);
  EXPECT_EQ(UnpackError(blockOutside), crcCorrupt) << "data beyond the end";

  std::string tooManyBlocks = cabinet;
  PutU16At(tooManyBlocks, layout.folderOffsets[0] + 4, 60000);
  PutU32At(tooManyBlocks, layout.filesOffset, 0x7FFFFFFF);
  EXPECT_EQ(UnpackError(tooManyBlocks), crcCorrupt) << "blocks beyond the end";

  std::string bigBlock = cabinet;
  PutU16At(bigBlock, block + 6, 40000);
  EXPECT_EQ(UnpackError(bigBlock), crcCorrupt) << "block larger than 32 KiB";

  std::string lyingOutput = cabinet;
  PutU16At(lyingOutput, block + 6, 30000);
  PutU32At(lyingOutput, block, 0);
  EXPECT_EQ(UnpackError(lyingOutput), crcDecompressing) << "block output size";

  std::string lzx = cabinet;
  PutU16At(lzx, layout.folderOffsets[0] + 6, 3); // LZX
  EXPECT_EQ(UnpackError(lzx), crcCompressionType);
}

TEST(CabEngineReaderErrors, StoredFolderBlockSizesMustAgree) {
  TCabBuilder builder;
  builder.folders.push_back({Stored, {{"hello", true, false, {}}}});
  builder.files.push_back({"h", 5, 0, 0});
  const std::string cabinet = builder.Build();
  EXPECT_EQ(Unpack(cabinet).at("h").content, "hello");
  std::string lying = cabinet;
  const TCabLayout layout = ReadLayout(cabinet);
  PutU16At(lying, layout.dataOffsets[0] + 6, 4);
  PutU32At(lying, layout.dataOffsets[0], 0);
  EXPECT_EQ(UnpackError(lying), crcCorrupt);
}

TEST(CabEngineSpanning, MembersInFoldersBeforeAContinuedOneAreExtracted) {
  TCabBuilder builder;
  builder.AddFileFolder("whole", "whole file", true);
  builder.files.push_back({"from-prev", 10, 0, CabFormat::FolderContinuedFromPrev});
  builder.prevCabinet = "prev.cab";
  builder.prevDisk = "disk 0";
  builder.files.push_back({"to-next", 10, 0, CabFormat::FolderContinuedToNext});
  builder.nextCabinet = "next.cab";
  builder.nextDisk = "disk 2";
  std::map<std::string, TExtracted> files;
  std::string message;
  EXPECT_EQ(UnpackInto(builder.Build(), files, nullptr, &message), crcAborted);
  EXPECT_EQ(message, "FDI aborted [0x000B].\r\nSpanned cabinets are unsupported now");
  EXPECT_EQ(files.at("whole").content, "whole file");
}

TEST(CabEngineReaderErrors, SinkFailuresCarryTheirWords) {
  const std::string cabinet = Pack({{"a", TextData(100'000, 4)}});
  for (const auto& [arrange, code, text] :
       {std::tuple<void (*)(TMemoryStreams&), int32_t, const char*>{
            [](TMemoryStreams& s) { s.failBegin = true; }, crcAborted,
            "FDI aborted [0x000B].\r\nnot wanted after all"},
        {[](TMemoryStreams& s) { s.failTarget = true; }, crcTargetFile,
         "Failure writing to target file [0x0008].\r\nthe disk is full"}}) {
    TMemoryStreams streams;
    arrange(streams);
    std::map<std::string, TExtracted> files;
    std::string message;
    EXPECT_EQ(UnpackInto(cabinet, files, &streams, &message), code);
    EXPECT_EQ(message, text);
  }
}

TEST(CabConsts, TextsOfCodesAndUnknownCodes) {
  EXPECT_STREQ(CabWriteErrorText(0), "No error");
  EXPECT_STREQ(CabWriteErrorText(8), "Failure compressing data");
  EXPECT_STREQ(CabWriteErrorText(-1), "FCI error");
  EXPECT_STREQ(CabReadErrorText(4), "Cabinet file is corrupt");
  EXPECT_STREQ(CabReadErrorText(10), "Cabinet returned on fdintNEXT_CABINET is incorrect");
  EXPECT_STREQ(CabReadErrorText(12), "FDI error");
  EXPECT_STREQ(CabReadErrorText(crcCompressionType),
               "Unknown compression type in a cabinet folder");
}

TEST(CabEngine, FailureOnAnEncoderThreadIsTheWritersError) {
  const std::string data = TextData(40 * Block, 23);
  TCabBuilder stored;
  stored.AddFileFolder("a", data, false);
  const std::string cabinet = stored.Build();
  bool tableRead = false;
  // Reading a block to take over runs on the encoder's threads.
  const TCabPreviousFolder previous(
      [&](uint64_t offset, void* into, size_t count) {
        if (tableRead)
          throw std::bad_alloc();
        std::memcpy(into, cabinet.data() + offset, count);
        return true;
      },
      cabinet.size());
  tableRead = true;
  try {
    Pack({{"a", data}}, {Mszip, 0x7FFFFFFF, &previous});
    ADD_FAILURE() << "nothing raised";
  } catch (const EMFSCabSystemError& e) {
    EXPECT_EQ(e.ErrorCode(), cwcOutOfMemory);
  }
}
