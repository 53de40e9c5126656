#include "common/u_ChunkStream.h"
#include "common/u_Files.h"
#include "common/u_Streams.h"

#include <gtest/gtest.h>
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

TEST(ChunkStream, ReadsOnceInOrderAndVisitsWhatIsLeft) {
  // Across chunk boundaries (1 MiB), with writes and reads of odd sizes interleaved.
  std::string all;
  for (int i = 0; all.size() < 3'500'000; ++i)
    all += std::string(size_t(777 + i % 5000), char('a' + i % 26));
  TChunkStream stream;
  stream.WriteString(all.substr(0, 1'500'000));
  std::string read(1'000'001, '\0');
  ASSERT_EQ(stream.Read(read.data(), 1'000'001), 1'000'001);
  stream.WriteString(all.substr(1'500'000));
  EXPECT_EQ(stream.Size(), int64_t(all.size()));
  EXPECT_EQ(stream.Seek(0, soBeginning), 1'000'001) << "what was read is gone";
  std::string visited;
  stream.Visit(2'000'000, [&](std::string_view piece) { visited += piece; });
  EXPECT_EQ(visited, all.substr(2'000'000));
  EXPECT_EQ(stream.Seek(10, soCurrent), 1'000'011);
  read.resize(size_t(stream.Read(read.data(), 7)));
  EXPECT_EQ(read, all.substr(1'000'011, 7));
  EXPECT_EQ(stream.ReadRest(), all.substr(1'000'018));
  EXPECT_EQ(stream.Read(read.data(), 1), 0);
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
