#include "common/u_BytePipe.h"
#include "common/u_ByteView.h"
#include "common/u_Files.h"
#include "common/u_Streams.h"

#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

TEST(StringStream, ReadWriteSeekAndSize) {
  TStringStream stream;
  stream.WriteString("hello");
  EXPECT_EQ(stream.Size(), 5);
  EXPECT_EQ(stream.Seek(-2, soEnd), 3);
  EXPECT_EQ(stream.ReadRest(), "lo");
  stream.SetPosition(1);
  stream.WriteString("ipp");
  EXPECT_EQ(stream.DataString(), "hippo");
  stream.SetPosition(4);
  char buffer[4];
  EXPECT_EQ(stream.Read(buffer, 4), 1);
  EXPECT_THROW(stream.ReadBuffer(buffer, 1), EReadError);
}

TEST(StringStream, WritingPastTheEndGrowsWithZeros) {
  TStringStream stream("ab");
  stream.SetPosition(4);
  stream.WriteString("c");
  EXPECT_EQ(stream.DataString(), std::string("ab\0\0c", 5));
  stream.SetSize(1);
  EXPECT_EQ(stream.Position(), 1);
  EXPECT_EQ(stream.DataString(), "a");
}

TEST(BytePipe, CarriesBytesInOrderBetweenThreadsAndNeverStrandsTheWriter) {
  // More than the ring holds, in writes and reads of odd sizes, so both sides wait in turn.
  std::string all;
  for (int i = 0; all.size() < 9'000'000; ++i)
    all += std::string(size_t(777 + i % 50000), char('a' + i % 26));
  TBytePipe pipe(int64_t(all.size()));
  std::thread writer([&] {
    for (size_t at = 0; at < all.size(); at += 100'003)
      pipe.WriteBuffer(all.data() + at, int64_t(std::min<size_t>(100'003, all.size() - at)));
    pipe.CloseWriting();
  });
  std::string read;
  std::string piece(65'537, '\0');
  for (int64_t n; (n = pipe.Read(piece.data(), int64_t(piece.size()))) > 0;)
    read.append(piece, 0, size_t(n));
  writer.join();
  EXPECT_EQ(read, all);
  EXPECT_EQ(pipe.Position(), int64_t(all.size()));
  EXPECT_THROW(pipe.WriteBuffer("x", 1), EWriteError) << "past the bound";

  TBytePipe abandoned(int64_t(all.size()));
  std::thread stopped([&] {
    abandoned.ReadBuffer(piece.data(), 10);
    abandoned.CloseReading();
  });
  // Nobody reads the rest: the writer is told so instead of working on for nothing.
  EXPECT_THROW(abandoned.WriteString(all), EWriteError);
  stopped.join();
  EXPECT_EQ(piece.substr(0, 10), all.substr(0, 10));
}

TEST(Streams, CopyFromWholeSourceAndPart) {
  TStringStream source(std::string(3'000'000, 'x') + "tail");
  TStringStream whole;
  EXPECT_EQ(whole.CopyFrom(source, 0), 3'000'004);
  EXPECT_EQ(whole.DataString(), source.DataString());
  source.SetPosition(3'000'000);
  TStringStream part;
  part.CopyFrom(source, 4);
  EXPECT_EQ(part.DataString(), "tail");
  EXPECT_THROW(part.CopyFrom(source, 1), EReadError);
}

TEST(ByteView, ReadsLittleEndianFieldsAndNamesTheOneThatRunsPastTheEnd) {
  const std::string bytes("\x01\x02\x03\x04\x05\0tail", 10);
  const TByteView view = ByteViewOf(bytes);
  struct TCase {
    const char* what;
    std::function<uint64_t()> read;
    uint64_t value;
    const char* error; // the start of the message, or null for a read that fits
  };
  const TCase cases[] = {
      {"16 bits, low byte first", [&] { return view.U16(0, "f"); }, 0x0201, nullptr},
      {"32 bits, low byte first", [&] { return view.U32(1, "f"); }, 0x05040302, nullptr},
      {"the last byte", [&] { return view.U8(9, "f"); }, 'l', nullptr},
      {"one byte past the end", [&] { return view.U32(7, "cbData"); }, 0,
       "cbData at offset 7 (4 bytes) runs past the end of the data (10 bytes)"},
      {"an offset that wraps around", [&] { return view.U16(UINT64_MAX, "f"); }, 0,
       "f at offset 18446744073709551615 (2 bytes)"},
      {"a part reads from its own start", [&] { return view.Part(2, 3, "p").U16(1, "f"); }, 0x0504,
       nullptr},
      {"a part ends where it says", [&] { return view.Part(2, 3, "p").U16(2, "inner"); }, 0,
       "inner at offset 2 (2 bytes) runs past the end of the data (3 bytes)"},
      {"a part past the end", [&] { return view.Part(8, 3, "name table").Size(); }, 0,
       "name table at offset 8"},
      {"a cursor moves past each field",
       [&] {
         TByteCursor c(view);
         c.Skip(1, "a");
         c.U8("b");
         return c.U16("c") == 0x0403 ? c.Position() : 0;
       },
       4, nullptr},
      {"a cursor stops at the end",
       [&] {
         TByteCursor c(view);
         c.Skip(8, "a");
         return c.U32("cbFile");
       },
       0, "cbFile at offset 8 (4 bytes)"},
      {"a text ends at its zero",
       [&] {
         TByteCursor c(view);
         return c.ZString(5, "name") == "\x01\x02\x03\x04\x05" ? c.Position() : 0;
       },
       6, nullptr},
      {"a text longer than allowed", [&] { return TByteCursor(view).ZString(4, "name").size(); }, 0,
       "name at offset 0 has no terminating zero within 5 bytes"},
      {"a text cut by the end",
       [&] {
         TByteCursor c(view);
         c.Skip(6, "a");
         return c.ZString(255, "disk name").size();
       },
       0, "disk name at offset 6 has no terminating zero within 4 bytes"},
  };
  for (const TCase& c : cases) {
    try {
      const uint64_t value = c.read();
      EXPECT_FALSE(c.error) << c.what << ": read " << value;
      EXPECT_EQ(value, c.value) << c.what;
    } catch (const EDamagedData& e) {
      EXPECT_TRUE(c.error && e.Message().starts_with(c.error)) << c.what << ": " << e.Message();
      EXPECT_EQ(e.Code(), ENOEXEC) << c.what;
    }
  }
}

TEST(FileStream, OpenAndCreateErrorsNameTheFile) {
  try {
    TFileStream stream("/nonexistent-folder/x", fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"/nonexistent-folder/x\". No such file or directory");
  }
  try {
    TFileStream stream("/nonexistent-folder/x", fmCreate);
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(),
              "Cannot create file \"/nonexistent-folder/x\". No such file or directory");
  }
}

TEST(FileStream, WritesReadsAndTruncates) {
  const std::string path = TempFolder() + "/fst" + std::to_string(::getpid()) + ".bin";
  {
    TFileStream stream(path, fmCreate);
    stream.WriteString("0123456789");
    stream.SetSize(4);
    EXPECT_EQ(stream.Size(), 4);
    EXPECT_EQ(stream.Position(), 4);
  }
  {
    TFileStream stream(path, fmOpenRead);
    EXPECT_EQ(stream.Seek(-1, soEnd), 3);
    EXPECT_EQ(stream.ReadRest(), "3");
  }
  std::remove(path.c_str());
}
