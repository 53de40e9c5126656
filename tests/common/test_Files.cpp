#include "common/u_FileHandle.h"
#include "common/u_FileSnapshot.h"
#include "common/u_Files.h"
#include "common/u_SysUtils.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = fs::temp_directory_path() / ("folioset-files-" + std::to_string(::getpid()));
    fs::create_directories(FFolder);
    FOldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", FFolder.c_str(), 1);
  }
  void TearDown() override {
    if (FOldTmp.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", FOldTmp.c_str(), 1);
    fs::remove_all(FFolder);
  }
  fs::path FFolder;
  std::string FOldTmp;
};

TEST_F(FilesTest, SaveCreatesFoldersAndLoadReadsBack) {
  const std::string path = (FFolder / "a" / "b" / "c.bin").string();
  const std::string bytes("x\0y\xff", 4);
  SaveStringToFile(bytes, path);
  EXPECT_EQ(LoadFileToString(path), bytes);
  SaveStringToFile("", path);
  EXPECT_EQ(LoadFileToString(path), "");
}

TEST_F(FilesTest, LoadOfMissingFileRaisesOpenError) {
  const std::string path = (FFolder / "missing").string();
  try {
    LoadFileToString(path);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\". No such file or directory");
  }
}

TEST_F(FilesTest, AWrittenFileIsReadOnlyWhileItIsAsItWasWritten) {
  const std::string path = (FFolder / "new.exe").string();
  SaveStringToFile("written", path);
  TWrittenFile written{TFileHandle(::open(path.c_str(), O_RDWR | O_CLOEXEC)), {}};
  struct stat info {};
  ASSERT_EQ(::fstat(written.Handle.Get(), &info), 0);
  written.Identity = TFileIdentity::Of(info);
  EXPECT_EQ(ReadWrittenFile(written, path, 100).Bytes, "written");
  ASSERT_EQ(::pwrite(written.Handle.Get(), "!", 1, 7), 1);
  EXPECT_THROW(ReadWrittenFile(written, path, 100), EFileChanged) << "changed since";
}

TEST_F(FilesTest, FoldersAreRefusedByNameAndPipesReadToTheirEnd) {
  const std::string folder = FFolder.string();
  const std::string expected = "Cannot open file \"" + folder + "\". It is a folder.";
  try {
    LoadFileToString(folder);
    ADD_FAILURE() << "a folder was read";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), expected);
  }
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  ASSERT_EQ(::write(pipeEnds[1], "piped", 5), 5);
  ::close(pipeEnds[1]);
  EXPECT_EQ(LoadFileToString("/dev/fd/" + std::to_string(pipeEnds[0])), "piped");
  ::close(pipeEnds[0]);
  const int zeros = ::open("/dev/zero", O_RDONLY);
  try {
    ReadHandleToEnd(zeros, "/dev/zero", 1 << 20);
    ADD_FAILURE() << "an endless source was read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Cannot read file \"/dev/zero\". It holds more than 1 MB.");
  }
  // Standard input as a stream: the same limit, not all the memory there is.
  std::ifstream endless("/dev/zero", std::ios::binary);
  try {
    ReadStreamToEnd(endless, "standard input", 1 << 20);
    ADD_FAILURE() << "an endless stream was read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Cannot read file \"standard input\". It holds more than 1 MB.");
  }
  ::close(zeros);
}

TEST(FileHandle, EachDescriptorIsClosedOnceByItsLastOwner) {
  const auto isOpen = [](int fd) { return ::fcntl(fd, F_GETFD) != -1; };
  TFileHandle first(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int fd = first.Get();
  ASSERT_TRUE(isOpen(fd));
  TFileHandle second(std::move(first));
  EXPECT_FALSE(first.IsOpen());
  EXPECT_EQ(second.Get(), fd);
  first.Close();
  EXPECT_TRUE(isOpen(fd)) << "a moved-from owner closes nothing";
  TFileHandle third(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int replaced = third.Get();
  third = std::move(second);
  EXPECT_FALSE(isOpen(replaced)) << "the descriptor assigned over is closed";
  EXPECT_TRUE(isOpen(fd));
  third = TFileHandle();
  EXPECT_FALSE(isOpen(fd));
}
