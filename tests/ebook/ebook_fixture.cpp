#include "ebook_fixture.h"

#include "common/u_Files.h"
#include "mfs/u_MFS.h"
#include "resources/u_IconSizes.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "variables/u_Variables.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

void EBookFixture::SetUp() {
  static int counter = 0;
  FFolder = fs::temp_directory_path() /
            ("folioset-ebook-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  fs::remove_all(FFolder);
  fs::create_directories(FFolder / "tmp");
  const char* old = std::getenv("TMPDIR");
  FOldTempFolder = old ? old : "";
  ::setenv("TMPDIR", (FFolder / "tmp").c_str(), 1);
}

void EBookFixture::TearDown() {
  if (FOldTempFolder.empty())
    ::unsetenv("TMPDIR");
  else
    ::setenv("TMPDIR", FOldTempFolder.c_str(), 1);
  fs::remove_all(FFolder);
}

std::string EBookFixture::SamplePath(const std::string& name) {
  return std::string(FOLIOSET_TEST_DATA) + "/samples/" + name;
}

std::string EBookFixture::CopySample(const std::string& name) const {
  const fs::path target = FFolder / fs::path(name).filename();
  fs::copy_file(SamplePath(name), target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_write, fs::perm_options::add);
  return target.string();
}

std::string EBookFixture::AssembleBook(const FileMap& files, const TCodePage& codePage) {
  TMFS content(codePage);
  for (const auto& [path, bytes] : files) {
    TMFSSession& session = content.Session();
    session.ForceFolders(TMFS::ExtractPath("\\" + path));
    session.CreateFile("\\" + path, 0, false)->SetContent(bytes);
  }
  const std::string book = CopySample("typical.exe");
  const std::string target = (FFolder / ("assembled-" + std::to_string(++FAssembled) + ".exe"));
  fs::rename(book, target);
  UpdateRCDataResource(target, "SYSTEM_MFS", PackSystemMFS(content));
  return target;
}

bool EBookFixture::TempFolderIsEmpty() const {
  return fs::is_empty(FFolder / "tmp");
}

static void CollectFiles(const TMFSFolder& folder, const std::string& prefix, FileMap& files) {
  for (TObject* child : folder.Children().GetObjects()) {
    if (const auto* file = dynamic_cast<const TMFSFile*>(child))
      files[prefix + file->Name()] = file->Content();
    else if (const auto* subfolder = dynamic_cast<const TMFSFolder*>(child))
      CollectFiles(*subfolder, prefix + subfolder->Name() + "\\", files);
  }
}

FileMap EBookFixture::ContentOf(const std::string& book, const TCodePage& codePage) {
  const TPEModule module(book);
  TMFS content(codePage);
  UnpackSystemMFS(content, ReadModuleResource(module, "RCDATA", "SYSTEM_MFS"));
  FileMap files;
  CollectFiles(*content.Root(), "", files);
  return files;
}

TVariableRows EBookFixture::AllVariables(const std::string& variablesText,
                                         const TCodePage& codePage) {
  const TVariables variables(variablesText, false, codePage);
  TVariableRows rows;
  for (const std::string& name : variables.Names())
    rows.push_back({name, variables.Values(name)});
  return rows;
}

std::string EBookFixture::ValueOf(const TVariableRows& rows, const std::string& name) {
  for (const TVariableRow& row : rows)
    if (row.Name == name)
      return row.Value;
  ADD_FAILURE() << "no variable " << name;
  return {};
}

std::string EBookFixture::AnsiValue(const std::string& book, const std::string& name,
                                    const TCodePage& codePage) {
  return ValueOf(AllVariables(ContentOf(book, codePage).at("Variables.xml"), codePage), name);
}

namespace {
// Walks a serialized file system: "MFS", eight checksum digits, then the root folder. An item
// is its name's length and name, date and attributes (4 bytes each), then a file's length and
// content, or a folder's child count and children, each behind a tag byte "F" or "D".
class TSerialWalk {
public:
  explicit TSerialWalk(std::string bytes) : FBytes(std::move(bytes)) {}

  // The content of the file name at the top of the tree; empty when there is none.
  std::string TopFile(const std::string& name) {
    if (FBytes.compare(0, 3, "MFS") != 0)
      return {};
    FAt = 11;
    Name();
    for (uint32_t children = Number(); children > 0 && FAt < FBytes.size(); --children) {
      const bool file = FBytes[FAt++] == 'F';
      if (file && Name() == name) {
        const uint32_t size = Number();
        return FBytes.substr(FAt, size);
      }
      if (!file)
        Name();
      Rest(file);
    }
    return {};
  }

private:
  uint32_t Number() {
    uint32_t value = 0;
    if (FAt + 4 <= FBytes.size())
      std::memcpy(&value, FBytes.data() + FAt, 4);
    FAt += 4;
    return value;
  }

  // The name, passing date and attributes too.
  std::string Name() {
    const uint32_t length = Number();
    const std::string name = FBytes.substr(std::min(FAt, FBytes.size()), length);
    FAt += length + 8;
    return name;
  }

  // What follows an item's name: a file's content, or a folder's children.
  void Rest(bool file) {
    if (file) {
      FAt += Number();
      return;
    }
    for (uint32_t children = Number(); children > 0 && FAt < FBytes.size(); --children) {
      const bool childFile = FBytes[FAt++] == 'F';
      Name();
      Rest(childFile);
    }
  }

  std::string FBytes;
  size_t FAt = 0;
};
} // namespace

std::string EBookFixture::StoredFileOf(const std::string& book, const std::string& name) {
  std::string mfs;
  if (FILE* pipe = ::popen(("cabextract -q -p '" + book + "' 2>/dev/null").c_str(), "r")) {
    char buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      mfs.append(buffer, got);
    ::pclose(pipe);
  }
  return TSerialWalk(std::move(mfs)).TopFile(name);
}

std::string EBookFixture::IconSizes(const std::string& icoBytes) {
  return IconSizesText(icoBytes);
}

std::string EBookFixture::IconGroupSizes(const std::string& book) {
  return IconSizes(LoadModuleIconGroup(TPEModule(book), "MAINICON"));
}

bool EBookFixture::IsValidImage(const std::string& book) {
  const TPEModule module(book);
  return !ReadModuleResource(module, "RCDATA", "SYSTEM_MFS").empty() &&
         !LoadModuleIconGroup(module, "MAINICON").empty();
}

TScratchMount::TScratchMount(const fs::path& at, uint64_t size) : FAt(at) {
  fs::create_directories(at);
  Mounted = ::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + std::to_string(size)).c_str()) == 0;
}

TScratchMount::~TScratchMount() {
  if (Mounted)
    ::umount2(FAt.c_str(), MNT_DETACH);
}

void TScratchMount::ReadOnly() {
  ::mount(nullptr, FAt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
}

void TScratchMount::LeaveFree(uint64_t free) {
  struct statvfs info {};
  ::statvfs(FAt.c_str(), &info);
  const uint64_t available = uint64_t(info.f_bavail) * info.f_frsize;
  const std::string fill = (FAt / "fill").string();
  const int handle = ::open(fill.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  if (available > free)
    ::posix_fallocate(handle, 0, off_t(available - free));
  ::close(handle);
}
