// Writes the books shaped to cost far more than their size, that an open must refuse (or
// handle) within its budget; time and measure `folioset-cli show` on each:
//   make_hostile_books FOLDER [NAME...]   (only the books named, such as big-value.exe)
//     ->  FOLDER/many-variables.exe  1.5 million short variables
//         FOLDER/big-value.exe       one variable of 60 MB
//         FOLDER/many-files.exe      4 million empty files in one folder
//         FOLDER/spread-files.exe    4 million empty files, 1,000 to a folder
//         FOLDER/big-value.json      a values file of one 200 MB value
#include "BenchBook.h"
#include "common/u_Files.h"
#include "ebook/u_EBookDocument.h"
#include "mfs/u_MFS.h"
#include "resources/u_Resources.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Numbered(const char* stem, size_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%07zu", stem, number);
  return name;
}

std::vector<std::string> Wanted;

void WriteBook(const fs::path& book, const std::function<void(TMFSSession&)>& fill) {
  if (!Wanted.empty() && std::find(Wanted.begin(), Wanted.end(), book.filename()) == Wanted.end())
    return;
  TMFS content(TCodePage(1252));
  fill(BenchBook::DescribeBook(content));
  const std::string cabinet = PackSystemMFS(content);
  fs::copy_file(std::string(FOLIOSET_SAMPLES) + "/typical.exe", book,
                fs::copy_options::overwrite_existing);
  fs::permissions(book, fs::perms::owner_write, fs::perm_options::add);
  UpdateRCDataResource(book.string(), "SYSTEM_MFS", cabinet);
}

void SetVariables(TMFSSession& session, const std::string& entries) {
  session.GetFile("\\Variables.xml")->SetContent("<vars>\r\n" + entries + "</vars>\r\n");
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "Usage: make_hostile_books FOLDER [NAME...]\n";
    return 2;
  }
  const fs::path folder = argv[1];
  Wanted.assign(argv + 2, argv + argc);
  fs::create_directories(folder);
  WriteBook(folder / "many-variables.exe", [](TMFSSession& session) {
    std::string entries;
    for (size_t i = 0; i < 1'500'000; ++i)
      entries += "<var name=\"" + Numbered("v", i) + "\">x</var>\r\n";
    SetVariables(session, entries);
  });
  WriteBook(folder / "big-value.exe", [](TMFSSession& session) {
    SetVariables(session, "<var name=\"Text\">" + std::string(60'000'000, 'v') + "</var>\r\n");
  });
  WriteBook(folder / "many-files.exe", [](TMFSSession& session) {
    for (size_t i = 0; i < 4'000'000; ++i)
      session.CreateFile("\\pages\\" + Numbered("f", i), 0, false);
  });
  WriteBook(folder / "spread-files.exe", [](TMFSSession& session) {
    for (size_t i = 0; i < 4'000'000; ++i) {
      const std::string subfolder = "\\pages\\" + Numbered("d", i / 1000);
      if (i % 1000 == 0)
        session.ForceFolders(subfolder);
      session.CreateFile(subfolder + "\\" + Numbered("f", i), 0, false);
    }
  });
  if (Wanted.empty() || std::find(Wanted.begin(), Wanted.end(), "big-value.json") != Wanted.end())
    SaveStringToFile("{\"Author\": \"" + std::string(200'000'000, 'a') + "\"}",
                     (folder / "big-value.json").string());
  return 0;
}
