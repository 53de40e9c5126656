#include "cli/u_BrandJob.h"

#include "cli/u_ErrorLine.h"
#include "cli/u_StopSignals.h"

#include <filesystem>
#include <sys/stat.h>

std::string NameKey(const std::string& name, const TCodePage& codePage) {
  std::string key;
  codePage.SortKey(name, key);
  return key;
}

TVariableRows BrandedRows(const TVariableRows& rows, const TBrandValues& values) {
  TVariableRows result = rows;
  std::unordered_map<std::string, size_t> rowOfKey;
  for (size_t i = 0; i < result.size(); ++i)
    rowOfKey.emplace(NameKey(result[i].Name, values.CodePage), i);
  for (const TVariableRow& value : values.Rows) {
    StopIfAsked();
    const auto row = rowOfKey.find(NameKey(value.Name, values.CodePage));
    if (row == rowOfKey.end())
      throw Exception(Format("\"%s\" is not a brandable variable", value.Name.c_str()));
    result[row->second].Value = value.Value;
  }
  return result;
}

std::string FileKey(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0)
    return Format("file %llu %llu", (unsigned long long)info.st_dev,
                  (unsigned long long)info.st_ino);
  std::error_code error;
  const std::filesystem::path place = std::filesystem::weakly_canonical(path, error);
  return "place " + (error ? path : place.string());
}

std::string BookErrorText(const std::exception& error, const std::vector<std::string>& fileNames,
                          const TCodePage& codePage) {
  if (dynamic_cast<const ENoEBookPages*>(&error))
    return "not an e-book: it holds no packed pages";
  if (dynamic_cast<const EDamagedEBookPages*>(&error))
    return "a damaged e-book: its packed pages cannot be unpacked";
  return WithoutErrorCode(MessageToUtf8(codePage, error.what(), fileNames));
}
