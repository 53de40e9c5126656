#include "common/u_Files.h"

#include "common/u_Streams.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

std::string TempFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string result = folder && *folder ? folder : "/tmp";
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  return result;
}

static bool PathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::string MakeTempFileName(const std::string& prefix, const std::string& extension,
                             int32_t number) {
  const std::string folder = TempFolder();
  const std::string stem = prefix.substr(0, 3);
  for (;;) {
    const std::string name = folder + "/" + stem +
                             Format("%X", unsigned(uint32_t(number) & 0xFFFFu)) + ".TMP" +
                             extension;
    if (!PathExists(name))
      return name;
    ++number;
  }
}

std::string LoadFileToString(const std::string& path) {
  TFileStream stream(path, fmOpenRead);
  return stream.ReadRest();
}

void SaveStringToFile(const std::string& bytes, const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) {
    std::error_code ignored; // a folder that cannot be made shows up when the file is created
    std::filesystem::create_directories(folder, ignored);
  }
  TFileStream stream(path, fmCreate);
  stream.WriteString(bytes);
}
