#pragma once
// Work on open files and the paths that name them, for every writer: scratch files created
// exclusively and readable by the user only, whole-range reads and writes at an offset, and
// the folder and real name of a path.

#include "common/u_FileHandle.h"
#include "common/u_SysUtils.h"

#include <cstdint>
#include <string>
#include <utility>

// Bytes of a file: Size bytes from Offset.
struct TFileRange {
  uint64_t Offset = 0;
  uint64_t Size = 0;
};

// A file operation that failed: the system's errno-style code, and the cause in words (empty
// when the system's text for the code says it all).
class EFileIOError : public Exception {
public:
  EFileIOError(int code, std::string cause) : Exception(std::move(cause)), FCode(code) {}
  int Code() const noexcept { return FCode; }

private:
  int FCode;
};

// Creates fileName exclusively (never through an existing file or link), read-write, readable
// by the user only; raises EFileIOError with the system's code when that fails.
int CreateExclusiveFile(const std::string& fileName);

// A scratch file: closed when the holder goes, and removed as well while it has its name.
class TScratchFile {
public:
  TScratchFile() = default;
  explicit TScratchFile(std::string fileName) { Create(std::move(fileName)); }
  ~TScratchFile() { Close(); }
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;

  // Creates the file (the holder must hold none yet).
  void Create(std::string fileName) {
    FHandle = TFileHandle(CreateExclusiveFile(fileName));
    FFileName = std::move(fileName);
  }
  // Creates a file that never has a name in folder (O_TMPFILE); where the file system has no
  // such files, one created as fallbackName and unlinked at once. Nothing can leave it behind.
  void CreateNameless(const std::string& folder, const std::string& fallbackName);
  int Handle() const { return FHandle.Get(); }
  // The name is gone from the folder, the handle stays usable.
  void Unlink();
  // Closes the handle and removes the file if it still has its name.
  void Close();
  // Hands the name over: the file stays when the holder goes.
  void Keep() { FFileName.clear(); }

private:
  std::string FFileName;
  TFileHandle FHandle;
};

// The file a path names, links resolved; and the folder part of a path.
std::string ResolvedPath(const std::string& fileName);
std::string FolderOf(const std::string& path);

// pwrite/pread of every byte; a failure raises EFileIOError with the system's code.
void WriteAllAt(int fd, const void* data, uint64_t count, uint64_t offset);
void ReadAllAt(int fd, void* data, uint64_t count, uint64_t offset);
// Starts writing a range of a file to disk and returns without waiting for it to finish.
void StartWriteback(int fd, uint64_t offset, uint64_t count);
// Lets go of the pages that hold a range of a shared file mapping: they stop counting in the
// process's resident memory, and the file's cache keeps their bytes for the next access.
void ReleaseMappedPages(const uint8_t* from, uint64_t count);
