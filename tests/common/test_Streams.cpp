#include "common/u_BytePipe.h"
#include "common/u_Files.h"
#include "common/u_Streams.h"

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
  abandoned.WriteString(all); // returns although nobody reads the rest
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
