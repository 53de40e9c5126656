#pragma once
// A disk folder held open, in which files and folders are made relative to the folder itself
// and never through a link: whatever links the folder holds, nothing is written anywhere else.

#include "common/u_FileHandle.h"

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// How a file written to disk is left: without write permission for anyone (a file stored
// read-only, as tar keeps a mode), and with its stored modification time (none: the time it
// was written).
struct TDiskFileStatus {
  bool ReadOnly = false;
  std::optional<std::time_t> Modified;
};

class TDiskFolder {
public:
  // The folder at path (which may be reached through links: the caller named it), created
  // with its missing parents when it does not exist.
  static TDiskFolder OpenOrCreate(const std::string& path);
  TDiskFolder(TDiskFolder&& other) noexcept = default;
  TDiskFolder(const TDiskFolder&) = delete;
  TDiskFolder& operator=(const TDiskFolder&) = delete;
  TDiskFolder& operator=(TDiskFolder&&) = delete;

  // A folder name inside this one: made, or an existing real folder used as it is. Anything
  // else of that name fails ("Cannot create folder "%s". File exists"), unless replace: then
  // it (a link itself, never what it points to) is removed and the folder made.
  TDiskFolder Subfolder(const std::string& name, bool replace) const;
  // A new file name inside this one holding bytes, left as status says. An existing name
  // fails ("Cannot create file "%s". File exists"), unless replace and it is no folder: it (a
  // link itself, not what it points to) is removed first. A file that cannot be finished (a
  // full disk) is removed again.
  void WriteFile(const std::string& name, const std::string& bytes, bool replace,
                 const TDiskFileStatus& status = {}) const;
  // Sets the folder's modification time, once what it holds is written.
  void SetModified(std::time_t modified) const;

private:
  TDiskFolder(TFileHandle handle, std::string path)
      : FHandle(std::move(handle)), FPath(std::move(path)) {}
  std::string PathOf(const std::string& name) const;

  TFileHandle FHandle;
  std::string FPath; // for messages
};

// Checks a tree against a disk folder before any of it is written there as TDiskFolder writes
// it, so a refused tree leaves nothing half written: every name fits the file system, a file
// goes where there is nothing yet (or, with replace, no folder), a folder where there is
// nothing or a real folder. Raises what the write would ("Cannot create file "%s". ...").
class TDiskTreeCheck {
public:
  TDiskTreeCheck(const std::string& folder, bool replace);
  // The next item of the tree in walk order (a folder before what it holds): its name and
  // depth (0 inside the folder itself).
  void Add(const std::string& name, size_t depth, bool isFolder);

private:
  bool FReplace;
  size_t FLongestName;
  // Each open depth's folder path, and whether that folder exists on disk.
  std::vector<std::pair<std::string, bool>> FFolders;
};
