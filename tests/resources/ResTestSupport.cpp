#include "ResTestSupport.h"

#include "common/u_Files.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

void TResourceTest::SetUp() {
  static int serial = 0;
  FFolder = fs::temp_directory_path() /
            ("folioset-res-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
  fs::remove_all(FFolder);
  fs::create_directories(FFolder);
  FOldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  ::setenv("TMPDIR", FFolder.c_str(), 1);
}

void TResourceTest::TearDown() {
  if (FOldTmp.empty())
    ::unsetenv("TMPDIR");
  else
    ::setenv("TMPDIR", FOldTmp.c_str(), 1);
  fs::remove_all(FFolder);
}

std::string SamplePath(const std::string& relative) {
  return std::string(FOLIOSET_TEST_DATA) + "/" + relative;
}

std::string TResourceTest::CopySample(const std::string& relative, const std::string& as) {
  const fs::path target = FFolder / (as.empty() ? fs::path(relative).filename().string() : as);
  fs::copy_file(SamplePath(relative), target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  return target.string();
}

std::vector<std::string> TResourceTest::RewriterLeftovers() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(FFolder))
    if (entry.path().filename().string().find("$vex$") != std::string::npos)
      names.push_back(entry.path().filename().string());
  return names;
}

std::string TResourceTest::DataFile(const std::string& bytes) {
  const std::string path = PathOf("expected-" + std::to_string(++FDataFiles) + ".bin");
  SaveStringToFile(bytes, path);
  return path;
}

static std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string VerifyPE(const std::string& file, const std::vector<std::string>& arguments) {
  std::string command =
      Quote(FOLIOSET_PYTHON) + " " + Quote(FOLIOSET_VERIFY_PE) + " " + Quote(file);
  for (const std::string& argument : arguments)
    command += " " + Quote(argument);
  command += " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe)
    return "cannot run " + command;
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != 0 && output.empty())
    output = "verify_pe.py failed with status " + std::to_string(status);
  return status == 0 ? std::string() : output;
}

uint16_t Get16(const std::string& bytes, size_t offset) {
  return uint16_t(uint8_t(bytes.at(offset)) | uint8_t(bytes.at(offset + 1)) << 8);
}

uint32_t Get32(const std::string& bytes, size_t offset) {
  return uint32_t(Get16(bytes, offset)) | uint32_t(Get16(bytes, offset + 2)) << 16;
}

void Put16(std::string& bytes, size_t offset, uint16_t value) {
  bytes.at(offset) = char(value & 0xFF);
  bytes.at(offset + 1) = char(value >> 8);
}

void Put32(std::string& bytes, size_t offset, uint32_t value) {
  Put16(bytes, offset, uint16_t(value & 0xFFFF));
  Put16(bytes, offset + 2, uint16_t(value >> 16));
}
