#pragma once
// A private folder (and temporary folder) per test, sample books, books assembled from given
// files, and looks into a book from outside the document under test.

#include "ebook/u_EBookDocument.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>

// A small file system of its own (tmpfs) of size bytes, emptied and taken away at the end;
// Mounted is false where mounting needs rights the test has not.
class TScratchMount {
public:
  TScratchMount(const std::filesystem::path& at, uint64_t size);
  ~TScratchMount();
  TScratchMount(const TScratchMount&) = delete;
  TScratchMount& operator=(const TScratchMount&) = delete;
  void ReadOnly();
  // Takes room (a file "fill") until free bytes are left.
  void LeaveFree(uint64_t free);
  bool Mounted = false;

private:
  std::filesystem::path FAt;
};

// A book's files: relative path ("pages\chapter1.html") to content.
using FileMap = std::map<std::string, std::string>;

class EBookFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  const std::filesystem::path& Folder() const { return FFolder; }
  static std::string SamplePath(const std::string& name);
  // A writable copy of a sample in the test's folder.
  std::string CopySample(const std::string& name) const;
  // A book made from typical.exe whose content is exactly files, named in codePage.
  std::string AssembleBook(const FileMap& files, const TCodePage& codePage = TCodePage(1252));
  bool TempFolderIsEmpty() const;

  static FileMap ContentOf(const std::string& book, const TCodePage& codePage = TCodePage(1252));
  // Every variable of a variables file as stored, sorted by name.
  static TVariableRows AllVariables(const std::string& variablesText,
                                    const TCodePage& codePage = TCodePage(1252));
  static std::string ValueOf(const TVariableRows& rows, const std::string& name);
  // The stored value of a variable of a book.
  static std::string AnsiValue(const std::string& book, const std::string& name,
                               const TCodePage& codePage = TCodePage(1252));
  // The bytes of the book's file at the top of its content, read without the program's own
  // readers: cabextract takes info.mfs out of the executable and its serialized form is walked
  // here. Empty when cabextract is missing or no such file is there.
  static std::string StoredFileOf(const std::string& book, const std::string& name);
  // "16x16 32x32" for the images of an .ico file image.
  static std::string IconSizes(const std::string& icoBytes);
  static std::string IconGroupSizes(const std::string& book);
  // The book parses as an executable and its resources read back.
  static bool IsValidImage(const std::string& book);

private:
  std::filesystem::path FFolder;
  std::string FOldTempFolder;
  int FAssembled = 0;
};
