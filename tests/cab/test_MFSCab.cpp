#include "CabTestSupport.h"

#include "cab/u_MFSCab.h"
#include "common/u_FileIO.h"
#include "common/u_Files.h"
#include "mfs/u_MFS.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t SampleDateTime = 0x5A216000; // 2025-01-01 12:00:00

std::string SampleCabinet(const std::string& book) {
  return LoadFileToString(std::string(FOLIOSET_TEST_DATA) + "/cab/" + book + ".cab");
}

// Writes content as a session file with a known date and attributes.
TMFSFile* PutFile(TMFSSession& session, const std::string& path, const std::string& content,
                  uint32_t attributes = faArchive, uint32_t dateTime = SampleDateTime) {
  TMFSFile* file = session.WriteFile(path, content);
  file->SetAttributes(attributes);
  file->SetDateTime(dateTime);
  return file;
}

// The writer's steps of the e-book update: \info.mfs packed into \System.cab.
std::string PackInfoMfs(TMFS& fs) {
  {
    TMFSCabWriter writer(fs.Session(), "", "System.cab");
    writer.AddFile("\\info.mfs");
    writer.FlushCabinet();
  }
  return fs.Session().ReadFile("\\System.cab");
}

template <typename Step> std::string MessageOf(Step step) {
  try {
    step();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

} // namespace

TEST(MFSCabWriter, PacksASessionFileIntoAOneFileCabinetAndLeavesNoTemporaryFiles) {
  TMFS fs(TCodePage(1252));
  const std::string content = MixedData(300'000, 9);
  PutFile(fs.Session(), "\\info.mfs", content, faArchive | faReadOnly | faDirectory);
  const std::string cabinet = PackInfoMfs(fs);

  EXPECT_EQ(fs.Session().ReadFile("\\info.mfs"), content);
  EXPECT_FALSE(fs.Session().Exists("\\fci00000000"));
  EXPECT_EQ(fs.Root()->Children().Count(), 2);
  const auto files = Unpack(cabinet);
  ASSERT_EQ(files.size(), 1u);
  const TExtracted& entry = files.at("info.mfs");
  EXPECT_EQ(entry.content, content);
  EXPECT_EQ(entry.date, SampleDateTime >> 16);
  EXPECT_EQ(entry.time, SampleDateTime & 0xFFFF);
  EXPECT_EQ(entry.attribs, faArchive | faReadOnly) << "attributes masked with 0x27";
}

TEST(CabPacker, KeepsTheSameCabinetOnDiskWithoutLeavingAnyFile) {
  // Random bytes are stored: more than one 8 MB piece of spool.
  TMFS fs(TCodePage(1252));
  TMFSFile* member = PutFile(fs.Session(), "\\info.mfs", RandomData(9'000'000, 10));
  TTempFolder folder;
  TFileHandle onDisk;
  {
    TCabPacker packer;
    packer.KeepFilesIn(folder.Path());
    packer.AddStream("info.mfs", std::make_unique<TMFSFileStream>(member), member->DateTime(),
                     member->Attributes());
    onDisk = packer.FlushToFile();
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder.Path())) << "no spool piece nor cabinet has a name";
  ASSERT_TRUE(onDisk.IsOpen());
  std::string cabinet(size_t(::lseek(onDisk.Get(), 0, SEEK_END)), '\0');
  ReadAllAt(onDisk.Get(), cabinet.data(), cabinet.size(), 0);
  EXPECT_TRUE(cabinet == PackInfoMfs(fs)) << "the cabinet made in memory";
}

TEST(MFSCabWriter, StoresFilesUnderTheirNamesWithoutFoldersAndKeepsEmptyFiles) {
  TMFS fs(TCodePage(1252));
  PutFile(fs.Session(), "\\a\\b.txt", "in a folder");
  PutFile(fs.Session(), "\\empty", "");
  {
    TMFSCabWriter writer(fs.Session(), "\\a", "\\out\\..\\c.cab");
    EXPECT_EQ(writer.CabinetPath(), "\\c.cab");
    EXPECT_EQ(writer.TempFolder(), "\\a");
    writer.AddFile("a/b.txt");
    writer.AddFile("\\empty");
    writer.FlushCabinet();
  }
  const auto files = Unpack(fs.Session().ReadFile("\\c.cab"));
  EXPECT_EQ(files.at("b.txt").content, "in a folder");
  EXPECT_EQ(files.at("empty").content, "");

  TMFSCabReader reader(fs.Session(), "\\c.cab");
  reader.Extract("empty", "\\x\\empty");
  EXPECT_TRUE(fs.Session().Exists("\\x\\empty"));
  EXPECT_EQ(fs.Session().ReadFile("\\x\\empty"), "");
}

TEST(MFSCabWriter, FailuresCarryTheLibraryCodeAndTheRecordedMessage) {
  TMFS fs(TCodePage(1252));
  EXPECT_EQ(MessageOf([&] {
              TMFSCabWriter writer(fs.Session(), "", "System.cab");
              writer.AddFile("\\nope");
            }),
            "Failure opening file to be stored in cabinet [0x0001].\r\n"
            "File \"\\nope\" not found");

  PutFile(fs.Session(), "\\info.mfs", "data");
  const std::string longFolder = "\\" + std::string(250, 't');
  EXPECT_EQ(MessageOf([&] {
              TMFSCabWriter writer(fs.Session(), longFolder, "System.cab");
              writer.AddFile("\\info.mfs");
            }),
            "Could not create a temporary file [0x0004].\r\n"
            "Temporary file name is too big (\"" +
                longFolder + "\\fci00000000\")");

  fs.Session().ForceFolders("\\System.cab");
  EXPECT_EQ(MessageOf([&] { PackInfoMfs(fs); }),
            "Could not create cabinet file [0x0006].\r\nFolder \"\\System.cab\" already exists");
}

TEST(MFSCabReader, ExtractsTheNamedMemberWithItsDateAndAttributes) {
  TMFS fs(TCodePage(1252));
  const std::string content = TextData(100'000, 3);
  PutFile(fs.Session(), "\\info.mfs", content, faArchive | faHidden, 0x12345678);
  fs.Session().WriteFile("\\info.cab", PackInfoMfs(fs));
  fs.Session().DeleteItem("\\info.mfs");

  TMFSCabReader reader(fs.Session(), "info.cab");
  EXPECT_EQ(reader.FileCount(), 1u);
  EXPECT_EQ(reader.CabinetSize(), int32_t(fs.Session().ReadFile("\\info.cab").size()));
  EXPECT_EQ(reader.CabinetPath(), "\\info.cab");
  reader.Extract("info.mfs", "\\info.mfs");
  const TMFSFile* file = fs.Session().GetFile("\\info.mfs");
  EXPECT_EQ(file->Content(), content);
  EXPECT_EQ(file->DateTime(), 0x12345678u);
  EXPECT_EQ(file->Attributes(), faArchive | faHidden);
  EXPECT_EQ(reader.TargetPath(), "\\info.mfs");
  EXPECT_EQ(reader.NameToExtract(), "info.mfs");
}

TEST(MFSCabReader, NamesCompareWithoutCaseMissingNamesExtractNothingTargetsGetFolders) {
  TMFS fs(TCodePage(1252));
  PutFile(fs.Session(), "\\info.mfs", "payload");
  fs.Session().WriteFile("\\info.cab", PackInfoMfs(fs));
  TMFSCabReader reader(fs.Session(), "\\info.cab");

  reader.Extract("INFO.MFS", "\\x\\y\\info.mfs");
  EXPECT_EQ(fs.Session().ReadFile("\\x\\y\\info.mfs"), "payload");

  const size_t before = fs.Root()->Children().Count();
  reader.Extract("other.mfs", "\\other.mfs");
  EXPECT_FALSE(fs.Session().Exists("\\other.mfs"));
  EXPECT_EQ(fs.Root()->Children().Count(), before);

  // Into a stream of the caller's: the same bytes, and whether the name was there at all.
  TStringStream target;
  EXPECT_TRUE(reader.ExtractTo("Info.Mfs", target));
  EXPECT_EQ(target.DataString(), "payload");
  EXPECT_FALSE(reader.ExtractTo("other.mfs", target));
  EXPECT_EQ(target.DataString(), "payload");
}

TEST(MFSCabReader, RefusesWhatIsNotACabinetOrIsMissing) {
  TMFS fs(TCodePage(1252));
  fs.Session().WriteFile("\\info.cab", "This is plainly not a cabinet file.");
  EXPECT_EQ(MessageOf([&] { TMFSCabReader reader(fs.Session(), "\\info.cab"); }),
            "File \"\\info.cab\" is not a cabinet");
  EXPECT_EQ(MessageOf([&] { TMFSCabReader reader(fs.Session(), "info.cab"); }),
            "File \"info.cab\" is not a cabinet");
  EXPECT_EQ(MessageOf([&] { TMFSCabReader reader(fs.Session(), "\\missing.cab"); }),
            "File \"\\missing.cab\" not found");
  // A damaged table is told by the field it lacks.
  const std::string cabinet = Pack({{"info.mfs", "payload"}});
  fs.Session().WriteFile("\\info.cab", cabinet.substr(0, 64)); // four bytes of the name
  EXPECT_EQ(MessageOf([&] { TMFSCabReader reader(fs.Session(), "\\info.cab"); }),
            "Cabinet file is corrupt [0x0004].\r\nszName at offset 16 has no terminating zero "
            "within 4 bytes");
}

TEST(MFSCabReader, SpannedCabinetsFailWithTheAbortAndTheReason) {
  TCabBuilder toNext;
  toNext.AddFileFolder("info.mfs", "first half", true);
  toNext.files[0].folder = 0xFFFE;
  toNext.nextCabinet = "next.cab";
  TCabBuilder fromPrev;
  fromPrev.AddFileFolder("info.mfs", "second half", true);
  fromPrev.files[0].folder = 0xFFFD;
  fromPrev.prevCabinet = "prev.cab";
  for (const TCabBuilder& builder : {toNext, fromPrev}) {
    TMFS fs(TCodePage(1252));
    fs.Session().WriteFile("\\info.cab", builder.Build());
    TMFSCabReader reader(fs.Session(), "\\info.cab");
    EXPECT_EQ(MessageOf([&] { reader.Extract("info.mfs", "\\info.mfs"); }),
              "FDI aborted [0x000B].\r\nSpanned cabinets are unsupported now");
  }
}

TEST(MFSCabReader, DamagedCabinetsGiveTheLibraryText) {
  TMFS fs(TCodePage(1252));
  PutFile(fs.Session(), "\\info.mfs", TextData(70'000, 5));
  std::string cabinet = PackInfoMfs(fs);
  cabinet[cabinet.size() - 10] ^= 1;
  fs.Session().WriteFile("\\info.cab", cabinet);
  TMFSCabReader reader(fs.Session(), "\\info.cab");
  EXPECT_EQ(MessageOf([&] { reader.Extract("info.mfs", "\\out.mfs"); }),
            "Cabinet file is corrupt [0x0004]");
}

TEST(MFSCabReader, ReadsTheCabinetsOfTheSampleEbooks) {
  const struct {
    const char* book;
    size_t size;
    const char* checksum;
  } samples[] = {{"typical", 3479, "B2D7B182"},
                 {"no_variables_file", 3013, "A191E046"},
                 {"cycle", 3220, "F89CC668"}};
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.book);
    TMFS fs(TCodePage(1252));
    fs.Session().WriteFile("\\info.cab", SampleCabinet(sample.book));
    {
      TMFSCabReader reader(fs.Session(), "\\info.cab");
      EXPECT_EQ(reader.FileCount(), 1u);
      reader.Extract("info.mfs", "\\info.mfs");
    }
    const std::string content = fs.Session().ReadFile("\\info.mfs");
    EXPECT_EQ(content.size(), sample.size);
    // The serialized file system begins with "MFS" and its body checksum.
    EXPECT_EQ(content.substr(0, 11), std::string("MFS") + sample.checksum);
    TMFS book(TCodePage(1252));
    EXPECT_NO_THROW(book.LoadFromString(content));
    EXPECT_EQ(fs.Session().GetFile("\\info.mfs")->DateTime(), SampleDateTime);

    // Packed again and read back, the member is unchanged.
    fs.Session().WriteFile("\\info.cab", PackInfoMfs(fs));
    fs.Session().DeleteItem("\\info.mfs");
    TMFSCabReader again(fs.Session(), "\\info.cab");
    again.Extract("info.mfs", "\\info.mfs");
    EXPECT_EQ(fs.Session().ReadFile("\\info.mfs"), content);
  }
}

namespace {

// A target where each of two extractions waits for the other to be writing too: readers that
// took turns in the library would never meet, and the first would give up after the wait.
class TMeetingTarget : public TStringStream {
public:
  struct TMeeting {
    std::mutex Lock;
    std::condition_variable Arrived;
    int Writers = 0;
  };
  explicit TMeetingTarget(TMeeting& meeting) : FMeeting(meeting) {}

  int64_t Write(const void* buffer, int64_t count) override {
    if (!FArrived) {
      FArrived = true;
      std::unique_lock<std::mutex> lock(FMeeting.Lock);
      ++FMeeting.Writers;
      FMeeting.Arrived.notify_all();
      Met = FMeeting.Arrived.wait_for(lock, std::chrono::seconds(30),
                                      [&] { return FMeeting.Writers == 2; });
    }
    return TStringStream::Write(buffer, count);
  }

  bool Met = false;

private:
  TMeeting& FMeeting;
  bool FArrived = false;
};

} // namespace

TEST(MFSCabReader, TwoReadersOnTwoThreadsAreInTheLibraryAtOnce) {
  TMeetingTarget::TMeeting meeting;
  auto work = [&meeting](uint32_t seed, bool& ok) {
    TMFS fs(TCodePage(1252));
    const std::string content = MixedData(100'000, seed);
    PutFile(fs.Session(), "\\info.mfs", content);
    fs.Session().WriteFile("\\info.cab", PackInfoMfs(fs));
    TMFSCabReader reader(fs.Session(), "\\info.cab");
    TMeetingTarget target(meeting);
    ok = reader.ExtractTo("info.mfs", target) && target.Met && target.DataString() == content;
  };
  bool first = false, second = false;
  std::thread other(work, 1, std::ref(second));
  work(2, first);
  other.join();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
}

TEST(MFSCabErrors, SystemErrorMessageComposition) {
  EXPECT_EQ(EMFSCabSystemError(false, 4).Message(), "Cabinet file is corrupt [0x0004]");
  EXPECT_EQ(EMFSCabSystemError(false, 11, "why").Message(), "FDI aborted [0x000B].\r\nwhy");
  EXPECT_EQ(EMFSCabSystemError(true, 4, "why").Message(),
            "Could not create a temporary file [0x0004].\r\nwhy");
  EXPECT_EQ(EMFSCabSystemError(true, 0x1ABCD).Message(), "FCI error [0x1ABCD]");
  const EMFSCabSystemError error(true, 7, "");
  EXPECT_EQ(error.ErrorCode(), 7);
  EXPECT_TRUE(error.Compression());
}

TEST(MFSCabReader, AMemberDeclaredBeyondTheLimitIsRefusedBeforeItIsInflated) {
  // A member whose entry declares 2 GB and whose data gives next to nothing: it must be
  // refused from its entry, before a byte is inflated.
  TCabBuilder builder;
  builder.AddFileFolder("info.mfs", "tiny", true);
  builder.files[0].size = 2'000'000'000;
  TMFS fs(TCodePage(1252));
  fs.Session().WriteFile("\\info.cab", builder.Build());
  TMFSCabReader reader(fs.Session(), "\\info.cab");
  reader.SetExtractLimit(64 << 20);
  TStringStream target;
  EXPECT_NE(MessageOf([&] {
              reader.ExtractTo("info.mfs", target);
            }).find("would unpack to 1907 MB, more than the 64 MB allowed"),
            std::string::npos);
  EXPECT_EQ(target.Size(), 0);
}
