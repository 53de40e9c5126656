#pragma once
// What the resource tests share: a private temporary folder (also the rewriter's temporary
// folder, so leftovers show), sample copies, and the independent check with pefile.

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

class TResourceTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // A copy of tests/data/<relative> in the test folder, writable.
  std::string CopySample(const std::string& relative, const std::string& as = {});
  std::string Folder() const { return FFolder.string(); }
  std::string PathOf(const std::string& name) const { return (FFolder / name).string(); }
  // Names in the test folder that the rewriter made (spool, build and new-file names).
  std::vector<std::string> RewriterLeftovers() const;
  // Writes bytes to a new file in the test folder and returns its path (for --has).
  std::string DataFile(const std::string& bytes);

  fs::path FFolder;

private:
  std::string FOldTmp;
  int FDataFiles = 0;
};

std::string SamplePath(const std::string& relative);

// Runs verify_pe.py on file with the arguments; empty when it passes, its faults otherwise.
std::string VerifyPE(const std::string& file, const std::vector<std::string>& arguments = {});

// Little-endian field access on a byte string.
uint32_t Get32(const std::string& bytes, size_t offset);
void Put32(std::string& bytes, size_t offset, uint32_t value);
uint16_t Get16(const std::string& bytes, size_t offset);
void Put16(std::string& bytes, size_t offset, uint16_t value);
