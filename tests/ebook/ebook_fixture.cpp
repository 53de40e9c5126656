#include "ebook_fixture.h"

#include "common/u_Files.h"
#include "mfs/u_MFS.h"
#include "resources/u_IconSizes.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "variables/u_Variables.h"

#include <cstdlib>
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
