// Writes the big book the comparison script times, and the files the other tools get:
//   make_bench_book [--pages NAME] FOLDER
//     ->  FOLDER/book.exe   an e-book with 100 MB of mixed content in the folder \NAME
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

constexpr size_t ContentSize = 100'000'000;
constexpr size_t PageCount = 100;

void FillBookContent(TMFS& content, const std::string& pages) {
  TMFSSession& session = BenchBook::DescribeBook(content);
  session.ForceFolders("\\" + pages);
  const std::string data = BenchData::MixedData(ContentSize);
  const size_t pageSize = ContentSize / PageCount;
  for (size_t i = 0; i < PageCount; ++i)
    session.CreateFile("\\" + pages + "\\page" + std::to_string(i) + ".dat", 0, false)
        ->SetContent(data.substr(i * pageSize, pageSize));
}

} // namespace

int main(int argc, char** argv) {
  const bool named = argc == 4 && std::string(argv[1]) == "--pages";
  if (argc != 2 && !named) {
    std::cerr << "Usage: make_bench_book [--pages NAME] FOLDER\n";
    return 2;
  }
  const fs::path folder = argv[argc - 1];
  fs::create_directories(folder);
  TMFS content(TCodePage(1252));
  FillBookContent(content, named ? argv[2] : "pages");
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
