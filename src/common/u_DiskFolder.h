#pragma once
// A disk folder held open, in which files and folders are made relative to the folder itself
// and never through a link: whatever links the folder holds, nothing is written anywhere else.

#include <string>

class TDiskFolder {
public:
  // The folder at path (which may be reached through links: the caller named it), created
  // with its missing parents when it does not exist.
  static TDiskFolder OpenOrCreate(const std::string& path);
  ~TDiskFolder();
  TDiskFolder(TDiskFolder&& other) noexcept;
  TDiskFolder(const TDiskFolder&) = delete;
  TDiskFolder& operator=(const TDiskFolder&) = delete;
  TDiskFolder& operator=(TDiskFolder&&) = delete;

  // A new folder name inside this one. An existing name fails ("Cannot create file "%s".
  // File exists"), unless replace and it is a real folder, which is used as it is; a link of
  // that name is then removed, never followed.
  TDiskFolder Subfolder(const std::string& name, bool replace) const;
  // A new file name inside this one holding bytes. An existing name fails as above, unless
  // replace and it is no folder: it (a link itself, not what it points to) is removed first.
  void WriteFile(const std::string& name, const std::string& bytes, bool replace) const;

private:
  TDiskFolder(int handle, std::string path) : FHandle(handle), FPath(std::move(path)) {}
  std::string PathOf(const std::string& name) const;

  int FHandle;
  std::string FPath; // for messages
};
