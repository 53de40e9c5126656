#include "common/u_FileHandle.h"
#include "common/u_FileIO.h"
#include "common/u_FileSnapshot.h"
#include "common/u_Files.h"
#include "common/u_SysUtils.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

TEST_F(FilesTest, ScratchNamesAreUniqueAndOnlyAbandonedScratchFilesAreRemoved) {
  const std::string folder = FFolder.string();
  // Books branded on threads at once each ask for names: none may be refused as taken.
  std::vector<std::unique_ptr<TScratchFile>> files(64);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (size_t i = t; i < files.size(); i += 8) {
        files[i] = std::make_unique<TScratchFile>();
        files[i]->Create(folder, "new");
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  std::set<std::string> names;
  for (const auto& file : files)
    names.insert(file->FileName());
  EXPECT_EQ(names.size(), files.size());

  // Left by a killed process: nobody holds its lock. A link, a folder and other files are no
  // scratch files, and a live one is held by its maker (this process, through another handle).
  const std::string abandoned = folder + "/$vex$new$00000001$5$";
  SaveStringToFile("left", abandoned);
  SaveStringToFile("keep", folder + "/book.exe");
  fs::create_symlink(folder + "/book.exe", folder + "/$vex$link$");
  fs::create_directory(folder + "/$vex$folder$");
  TScratchFile next;
  next.Create(folder, "cab");
  EXPECT_FALSE(fs::exists(abandoned));
  for (const char* kept : {"book.exe", "$vex$link$", "$vex$folder$"})
    EXPECT_TRUE(fs::exists(fs::symlink_status(folder + "/" + kept))) << kept;
  for (const auto& file : files)
    EXPECT_TRUE(fs::exists(file->FileName())) << "live, so kept: " << file->FileName();

  // A nameless one gets its name only when asked.
  TScratchFile unnamed;
  unnamed.CreateUnnamed(folder, "new");
  const size_t before = size_t(std::distance(fs::directory_iterator(folder), {}));
  unnamed.Name();
  EXPECT_EQ(size_t(std::distance(fs::directory_iterator(folder), {})), before + 1);
  unnamed.RenameOver(folder + "/book.exe");
  EXPECT_EQ(LoadFileToString(folder + "/book.exe"), "");
  files.clear();
  next.Close();
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_EQ(entry.path().filename().string().find("$vex$new"), std::string::npos)
        << "closed scratch files are gone: " << entry.path();
}
