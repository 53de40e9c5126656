// Writes the big book the comparison script times, and the files the other tools get:
//   make_bench_book [--pages NAME] [--megabytes N] FOLDER
//     ->  FOLDER/book.exe   an e-book with N MB (100 unless told) of mixed content in the folder \NAME
//         FOLDER/info.mfs  its serialized content (what gcab packs)
//         FOLDER/info.cab  its SYSTEM_MFS cabinet (what cabextract reads)
// The content's folder is "pages" unless told: it sorts before Variables.xml, so a brand
// changes the serialized form's tail; a name after it ("www") puts the change before all the
// content.
#include "BenchBook.h"
#include "BenchData.h"
#include "common/u_Files.h"
#include "ebook/u_EBookDocument.h"
#include "mfs/u_MFS.h"
#include "resources/u_Resources.h"

#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

namespace {

constexpr size_t PageSize = 1'000'000;

void FillBookContent(TMFS& content, const std::string& pages, size_t megabytes) {
  TMFSSession& session = BenchBook::DescribeBook(content);
  session.ForceFolders("\\" + pages);
  const std::string data = BenchData::MixedData(megabytes * PageSize);
  for (size_t i = 0; i < megabytes; ++i)
    session.CreateFile("\\" + pages + "\\page" + std::to_string(i) + ".dat", 0, false)
        ->SetContent(data.substr(i * PageSize, PageSize));
}

} // namespace

int main(int argc, char** argv) {
  std::string pages = "pages";
  size_t megabytes = 100;
  int at = 1;
  for (; at + 1 < argc; at += 2) {
    const std::string option = argv[at];
    if (option == "--pages")
      pages = argv[at + 1];
    else if (option == "--megabytes")
      megabytes = std::stoul(argv[at + 1]);
    else
      break;
  }
  if (at != argc - 1 || megabytes == 0) {
    std::cerr << "Usage: make_bench_book [--pages NAME] [--megabytes N] FOLDER\n";
    return 2;
  }
  const fs::path folder = argv[at];
  fs::create_directories(folder);
  TMFS content(TCodePage(1252));
  FillBookContent(content, pages, megabytes);
  SaveStringToFile(content.SaveToString(), (folder / "info.mfs").string());
  const std::string cabinet = PackSystemMFS(content);
  SaveStringToFile(cabinet, (folder / "info.cab").string());
  const std::string book = (folder / "book.exe").string();
  fs::copy_file(std::string(FOLIOSET_SAMPLES) + "/typical.exe", book,
                fs::copy_options::overwrite_existing);
  fs::permissions(book, fs::perms::owner_write, fs::perm_options::add);
  UpdateRCDataResource(book, "SYSTEM_MFS", cabinet);
  return 0;
}
